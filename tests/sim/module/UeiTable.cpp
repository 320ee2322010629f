#include "tests/sim/module/UeiTable.h"

#include <algorithm>

namespace simmodule {

namespace {

constexpr uint8_t kOptionGet = 0x40;
constexpr uint8_t kOptionSet = 0x80;
constexpr uint8_t kOptionAck = 0xC0;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kSpecifierError = 0x80;
constexpr uint8_t kSequenceMore = 0x80;
constexpr uint8_t kSequenceMask = 0x7F;
constexpr size_t kArrayPayload = 24;

constexpr uint8_t kCommandCapability = 73;
constexpr uint8_t kCapabilityHasUei = 1;
constexpr uint8_t kCapabilityClassQuantity = 4;
constexpr uint8_t kCapabilitySubClassQuantity = 5;
constexpr uint8_t kCapabilityEntityGroup = 6;
constexpr uint8_t kCapabilityBuild = 0xFF;

void appendValue(std::vector<uint8_t>* data, uint32_t value, uint8_t width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
    data->push_back(static_cast<uint8_t>(value >> shift));
  }
}

uint32_t readValue(const uint8_t* bytes, uint8_t width) {
  uint32_t value = 0;
  for (uint8_t i = 0; i < width; ++i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

}  // namespace

UeiTable::UeiTable(ModuleEngine& engine, uint8_t address) : engine_(engine), address_(address) {
  if (address_ != engine_.address()) {
    engine_.addNode(address_);
    engine_.setHandler(address_, ModuleEngine::kCommandEcho, [this](const SimPacket& request) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (gate_ && !gate_()) {
          return std::vector<SimPacket>{};
        }
      }
      return std::vector<SimPacket>{SimPacket{address_, request.data}};
    });
    routed_.push_back(ModuleEngine::kCommandEcho);
  }
  route(kCommandCapability);
}

UeiTable::~UeiTable() {
  for (uint8_t command : routed_) {
    engine_.removeHandler(address_, command);
  }
}

void UeiTable::route(uint8_t command) {
  if (std::find(routed_.begin(), routed_.end(), command) != routed_.end()) {
    return;
  }
  routed_.push_back(command);
  engine_.setHandler(address_, command, [this](const SimPacket& request) { return handle(request); });
}

ModuleEngine::Handler UeiTable::capabilityHandler() {
  return [this](const SimPacket& request) { return handle(request); };
}

void UeiTable::defineValue(uint8_t command, uint8_t index, uint8_t option, uint8_t width, uint32_t value,
                           bool settable) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Option& entry = entities_[{command, index}].options[option];
    entry.kind = Kind::Value;
    entry.width = width;
    entry.settable = settable;
    entry.subindexed = false;
    entry.values = {{0, value}};
  }
  route(command);
}

void UeiTable::defineSubindexed(uint8_t command, uint8_t index, uint8_t option, uint8_t width,
                                const std::vector<uint32_t>& values) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Option& entry = entities_[{command, index}].options[option];
    entry.kind = Kind::Value;
    entry.width = width;
    entry.settable = true;
    entry.subindexed = true;
    entry.values.clear();
    for (size_t i = 0; i < values.size(); ++i) {
      entry.values[static_cast<uint8_t>(i)] = values[i];
    }
  }
  route(command);
}

void UeiTable::defineCall(uint8_t command, uint8_t index, uint8_t option) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Option& entry = entities_[{command, index}].options[option];
    entry.kind = Kind::Call;
    entry.settable = true;
  }
  route(command);
}

void UeiTable::defineBytes(uint8_t command, uint8_t index, uint8_t option, const std::vector<uint8_t>& bytes,
                           bool settable) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Option& entry = entities_[{command, index}].options[option];
    entry.kind = Kind::Bytes;
    entry.settable = settable;
    entry.bytes = bytes;
    entry.incoming.clear();
    entry.nextSequence = 0;
  }
  route(command);
}

void UeiTable::onSet(uint8_t command, uint8_t index, uint8_t option, SetHook hook) {
  std::lock_guard<std::mutex> hold(mutex_);
  entities_[{command, index}].options[option].hook = std::move(hook);
}

void UeiTable::setSubClassQuantity(uint8_t command, uint8_t index, uint8_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  entities_[{command, index}].subClasses = count;
}

void UeiTable::setEntityGroup(uint8_t command, uint8_t index, uint8_t group) {
  std::lock_guard<std::mutex> hold(mutex_);
  entities_[{command, index}].group = group;
}

void UeiTable::setBuild(uint32_t build) {
  std::lock_guard<std::mutex> hold(mutex_);
  build_ = build;
}

void UeiTable::setGate(std::function<bool()> gate) {
  std::lock_guard<std::mutex> hold(mutex_);
  gate_ = std::move(gate);
}

void UeiTable::setResponder(uint8_t command, uint8_t option, Responder responder) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    responders_[{command, option}] = std::move(responder);
  }
  route(command);
}

void UeiTable::clearResponder(uint8_t command, uint8_t option) {
  std::lock_guard<std::mutex> hold(mutex_);
  responders_.erase({command, option});
}

void UeiTable::setError(uint8_t command, uint8_t index, uint8_t option, uint8_t code) {
  std::lock_guard<std::mutex> hold(mutex_);
  entities_[{command, index}].options[option].error = code;
}

uint32_t UeiTable::value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Option* entry = find(command, index, option);
  if (entry == nullptr) {
    return 0;
  }
  auto at = entry->values.find(subindex);
  return at == entry->values.end() ? 0 : at->second;
}

std::vector<uint8_t> UeiTable::bytes(uint8_t command, uint8_t index, uint8_t option) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Option* entry = find(command, index, option);
  return entry == nullptr ? std::vector<uint8_t>() : entry->bytes;
}

size_t UeiTable::calls(uint8_t command, uint8_t index, uint8_t option) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Option* entry = find(command, index, option);
  return entry == nullptr ? 0 : entry->calls;
}

UeiTable::Option* UeiTable::find(uint8_t command, uint8_t index, uint8_t option) {
  auto entity = entities_.find({command, index});
  if (entity == entities_.end()) {
    return nullptr;
  }
  auto entry = entity->second.options.find(option);
  return entry == entity->second.options.end() ? nullptr : &entry->second;
}

const UeiTable::Option* UeiTable::find(uint8_t command, uint8_t index, uint8_t option) const {
  return const_cast<UeiTable*>(this)->find(command, index, option);
}

std::vector<SimPacket> UeiTable::arrayPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                              const std::vector<uint8_t>& bytes) {
  std::vector<SimPacket> packets;
  size_t sent = 0;
  uint32_t number = 0;
  do {
    const size_t n = std::min(kArrayPayload, bytes.size() - sent);
    const bool more = sent + n < bytes.size();
    SimPacket packet{address, {command, option, index}};
    packet.data.insert(packet.data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(sent),
                       bytes.begin() + static_cast<std::ptrdiff_t>(sent + n));
    packet.data.push_back(static_cast<uint8_t>((number & kSequenceMask) | (more ? kSequenceMore : 0)));
    packets.push_back(packet);
    sent += n;
    ++number;
  } while (sent < bytes.size());
  return packets;
}

SimPacket UeiTable::errorReply(uint8_t command, uint8_t replyOption, uint8_t index, uint8_t code) const {
  return SimPacket{address_, {command, replyOption, static_cast<uint8_t>(kSpecifierError | index), code}};
}

std::vector<SimPacket> UeiTable::handle(const SimPacket& request) {
  SetHook hook;
  uint32_t hookValue = 0;
  Responder responder;
  std::vector<SimPacket> replies;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if ((gate_ && !gate_()) || request.data.empty()) {
      return {};
    }
    if (request.data[0] == kCommandCapability) {
      return handleCapability(request);
    }
    if (request.data.size() >= 2) {
      auto found = responders_.find({request.data[0], static_cast<uint8_t>(request.data[1] & kOptionMask)});
      if (found != responders_.end()) {
        responder = found->second;
      }
    }
    if (!responder) {
      replies = handleUei(request, &hook, &hookValue);
    }
  }
  // Both run without the table's lock, so they may use the table.
  if (responder) {
    return responder(request);
  }
  if (hook) {
    hook(hookValue);
  }
  return replies;
}

std::vector<SimPacket> UeiTable::handleUei(const SimPacket& request, SetHook* hook, uint32_t* hookValue) {
  const std::vector<uint8_t>& d = request.data;
  if (d.size() < 3) {
    return {};
  }
  const uint8_t command = d[0];
  const uint8_t option = d[1] & kOptionMask;
  const uint8_t access = d[1] & kOptionAck;
  const uint8_t index = d[2] & kIndexMask;
  const bool get = access == kOptionGet;
  const uint8_t replyOption = get ? option : static_cast<uint8_t>(option | kOptionAck);
  if (access != kOptionGet && access != kOptionSet) {
    return {errorReply(command, replyOption, index, kErrParam)};
  }
  auto entity = entities_.find({command, index});
  if (entity == entities_.end()) {
    return {errorReply(command, replyOption, index, kErrInvalidEntity)};
  }
  auto found = entity->second.options.find(option);
  if (found == entity->second.options.end()) {
    return {errorReply(command, replyOption, index, kErrInvalidOption)};
  }
  Option& entry = found->second;
  if (entry.error != 0) {
    return {errorReply(command, replyOption, index, entry.error)};
  }
  const SimPacket ack{address_, {command, replyOption, index}};
  size_t at = 3;
  uint8_t subindex = 0;
  if (entry.kind == Kind::Value && entry.subindexed) {
    if (d.size() < 4) {
      return {errorReply(command, replyOption, index, kErrParam)};
    }
    subindex = d[3];
    at = 4;
    if (entry.values.find(subindex) == entry.values.end()) {
      return {errorReply(command, replyOption, index, kErrIndexRange)};
    }
  }
  switch (entry.kind) {
    case Kind::Value:
      if (get) {
        if (d.size() != at) {
          return {errorReply(command, replyOption, index, kErrParam)};
        }
        SimPacket reply{address_, {command, option, index}};
        appendValue(&reply.data, entry.values[subindex], entry.width);
        return {reply};
      }
      if (!entry.settable) {
        return {errorReply(command, replyOption, index, kErrPermission)};
      }
      if (d.size() != at + entry.width) {
        return {errorReply(command, replyOption, index, kErrSize)};
      }
      entry.values[subindex] = readValue(&d[at], entry.width);
      *hook = entry.hook;
      *hookValue = entry.values[subindex];
      return {ack};
    case Kind::Call:
      if (get || d.size() != 3) {
        return {errorReply(command, replyOption, index, kErrParam)};
      }
      ++entry.calls;
      *hook = entry.hook;
      return {ack};
    case Kind::Bytes: {
      if (get) {
        return arrayPackets(address_, command, option, index, entry.bytes);
      }
      if (!entry.settable) {
        return {errorReply(command, replyOption, index, kErrPermission)};
      }
      if (d.size() < 4) {
        return {errorReply(command, replyOption, index, kErrPacket)};
      }
      const uint8_t sequence = d.back();
      if ((sequence & kSequenceMask) != entry.nextSequence) {
        // Out of step: the transfer is dropped.
        entry.incoming.clear();
        entry.nextSequence = 0;
        return {errorReply(command, replyOption, index, kErrPacket)};
      }
      entry.incoming.insert(entry.incoming.end(), d.begin() + 3, d.end() - 1);
      if ((sequence & kSequenceMore) != 0) {
        entry.nextSequence = static_cast<uint8_t>((entry.nextSequence + 1) & kSequenceMask);
        return {};
      }
      entry.bytes = std::move(entry.incoming);
      entry.incoming.clear();
      entry.nextSequence = 0;
      *hook = entry.hook;
      *hookValue = static_cast<uint32_t>(entry.bytes.size());
      return {ack};
    }
  }
  return {};
}

std::vector<SimPacket> UeiTable::handleCapability(const SimPacket& request) {
  const std::vector<uint8_t>& d = request.data;
  if (d.size() < 2) {
    return {};
  }
  SimPacket reply{address_, d};
  switch (d[1]) {
    case kCapabilityHasUei: {
      if (d.size() != 6) {
        return {};
      }
      const Option* entry = find(d[2], d[4], d[3]);
      uint8_t answer = 0;
      if (entities_.find({d[2], d[4]}) == entities_.end()) {
        answer = kErrInvalidEntity;
      } else if (entry == nullptr) {
        answer = kErrInvalidOption;
      } else if ((d[5] == kOptionGet && entry->kind == Kind::Call) || (d[5] == kOptionSet && !entry->settable)) {
        answer = kErrPermission;
      }
      reply.data.back() = answer;
      return {reply};
    }
    case kCapabilityClassQuantity: {
      if (d.size() != 3) {
        return {};
      }
      uint8_t count = 0;
      for (const auto& entity : entities_) {
        if (entity.first.first == d[2]) {
          ++count;
        }
      }
      reply.data.push_back(count);
      return {reply};
    }
    case kCapabilitySubClassQuantity:
    case kCapabilityEntityGroup: {
      if (d.size() != 4) {
        return {};
      }
      auto entity = entities_.find({d[2], d[3]});
      uint8_t answer = 0;
      if (entity != entities_.end()) {
        answer = d[1] == kCapabilityEntityGroup ? entity->second.group : entity->second.subClasses;
      }
      reply.data.push_back(answer);
      return {reply};
    }
    case kCapabilityBuild:
      if (d.size() != 2) {
        return {};
      }
      appendValue(&reply.data, build_, 4);
      return {reply};
    default:
      return {};
  }
}

}  // namespace simmodule

#include "updater/UpdaterEntity.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Tessarine2/common/aTime.h"
#include "Tessarine2/objects/Module.h"
#include "updater/UpdaterOperations.h"
#include "updater/support/Log.h"

using Zeltrova::Tessarine::Module;

namespace {

// Every reply is received into room for a whole packet's data.
constexpr uint8_t kReplyRoom = 28;
constexpr uint8_t kAddressBytes = 4;
// Reply lengths that carry what is read from them.
constexpr uint8_t kInitReplyMin = 6;     // 95, 0, load base (4)
constexpr uint8_t kStatusReplyMin = 3;   // 95, 7, status
constexpr uint8_t kPrepareReplyMin = 5;  // ... block size (2)
constexpr uint8_t kDataReplyMin = 3;     // 95, 1, count
constexpr uint8_t kSumReplyMin = 7;      // ... sum (4)
constexpr uint8_t kWriteFailed = 0xFF;   // status preset: a reply without one fails

constexpr uint32_t kReconnectAttempts = 5;
constexpr uint32_t kLoadReconnectDelayMS = 500;
constexpr uint32_t kRebootPollMS = 250;

uint32_t be32(const uint8_t* bytes) {
  return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

// The request's bytes with its second byte replaced by the awaited reply
// byte: a short reply leaves the rest as the request had it.
void preset(uint8_t* buffer, const uint8_t* request, uint8_t requestLength, uint8_t replyByte) {
  std::memset(buffer, 0, kReplyRoom);
  std::memcpy(buffer, request, requestLength);
  buffer[1] = replyByte;
}

}  // namespace

UpdaterEntity::UpdaterEntity() : module(nullptr), verify(true), noWait(false) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::init(Module* module, uint8_t index, bool verify, bool noWait) {
  this->module = module;
  this->verify = verify;
  this->noWait = noWait;
  return EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::send(uint8_t option, const uint8_t* bytes, uint8_t count) {
  uint8_t data[kReplyRoom];
  data[0] = option;
  if (count > 0) std::memcpy(data + 1, bytes, count);
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), data);
}

aErr UpdaterEntity::fail(aErr err, const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  cause = text;
  return err;
}

aErr UpdaterEntity::sendFailed(aErr err, const char* what) {
  return fail(err, "the %s request could not be sent (%s)", what, aError_GetErrorDescription(err));
}

aErr UpdaterEntity::await(uint8_t* buffer, uint8_t* length, const char* what) {
  const uint8_t pattern[2] = {buffer[0], buffer[1]};
  *length = sizeof pattern;
  const uint64_t start = aTime_GetMSTicks();
  const aErr err = receivePacket(pattern, length, buffer);
  if (err == aErrTimeout) {
    const double waited = static_cast<double>(aTime_GetMSTicks() - start) / 1000.0;
    return fail(err, "no answer to the %s request within %.1f s", what, waited);
  }
  if (err != aErrNone) {
    return fail(err, "no answer to the %s request (%s)", what, aError_GetErrorDescription(err));
  }
  return err;
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  aErr err = send(val_UPGRADE_INIT, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
    return sendFailed(err, "init");
  }
  const uint8_t request[2] = {cmdUPGRADE, val_UPGRADE_INIT};
  uint8_t reply[kReplyRoom];
  uint8_t length = 0;
  preset(reply, request, sizeof request, val_UPGRADE_INIT);
  err = await(reply, &length, "init");
  if (err != aErrNone) return err;
  if (length < kInitReplyMin) {
    return fail(aErrPacket, "the init answer held %u bytes, too few for a load base", length);
  }
  const uint32_t base = be32(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", static_cast<int>(length), flags,
           blockSize);
  // Every block starts with its 4-byte target address.
  if (data == nullptr || length < kAddressBytes) return fail(aErrParam, "the block holds no load address");
  const uint32_t address = be32(data);
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
           flags, data[0], data[1], data[2], data[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(address));

  const uint8_t request[7] = {cmdUPGRADE, val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
  aErr err = send(val_UPGRADE_PREPARE, request + 2, 5);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
    return sendFailed(err, "prepare");
  }
  uint8_t reply[kReplyRoom];
  uint8_t received = 0;
  preset(reply, request, sizeof request, val_UPGRADE_STATUS);
  err = await(reply, &received, "prepare");
  if (err != aErrNone) return err;
  if (received < kStatusReplyMin || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    if (received < kStatusReplyMin) {
      return fail(aErrInvalidOption, "the prepare answer carried no status");
    }
    return fail(aErrInvalidOption, "the module refused to prepare the block (status %u)", reply[2]);
  }
  // An accepted prepare must say how much the module takes per write.
  if (received < kPrepareReplyMin) return fail(aErrPacket, "the prepare answer named no block size");
  blockSize = static_cast<uint16_t>((reply[3] << 8) | reply[4]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", blockSize);
  return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* payload, uint32_t length, uint32_t& pieces) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  uint32_t remaining = length;
  uint32_t sum = 0;
  uint32_t attempts = 0;
  aErr result = aErrNone;

  while (remaining != 0 && result == aErrNone) {
    const uint8_t n = static_cast<uint8_t>(remaining < kPieceSize ? remaining : kPieceSize);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
    aErr err = send(val_UPGRADE_DATA, payload, n);
    if (err != aErrNone) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
      return sendFailed(err, "data");
    }
    uint8_t reply[kReplyRoom];
    uint8_t received = 0;
    reply[0] = cmdUPGRADE;
    reply[1] = val_UPGRADE_DATA;
    const aErr answered = await(reply, &received, "data");
    if (answered != aErrNone || received < kDataReplyMin) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      if (answered == aErrNone) {
        fail(aErrPacket, "a data piece was answered without its count");
      }
      result = aErrPacket;
      break;
    }
    if (reply[2] != n) {
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2], n);
      // The module took nothing of this piece: it goes again, but a module
      // that never takes it must not hold the transfer forever.
      if (++attempts >= kPieceAttempts) {
        result = fail(aErrPacket, "the module took nothing of a data piece in %u tries", kPieceAttempts);
      }
      continue;
    }
    attempts = 0;
    for (uint8_t i = 0; i < n; ++i) sum += payload[i];
    payload += n;
    remaining -= n;
    ++pieces;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n,
             static_cast<int>(remaining), static_cast<int>(length));
  }
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));

  if (result != aErrNone || !verify) return result;

  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  aErr err = send(val_UPGRADE_SUM, nullptr, 0);
  if (err != aErrNone) {
    // Waiting would only take a sum the module was never asked for.
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_SUM (%d)\n", err);
    return sendFailed(err, "sum");
  }
  uint8_t reply[kReplyRoom];
  uint8_t received = 0;
  const uint8_t request[2] = {cmdUPGRADE, val_UPGRADE_SUM};
  preset(reply, request, sizeof request, val_UPGRADE_STATUS);
  if (await(reply, &received, "sum") != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  // A reply too short to carry a sum cannot confirm one.
  const uint32_t moduleSum = received >= kSumReplyMin ? be32(reply + 3) : ~sum;
  if (received >= kStatusReplyMin && reply[2] == 0 && moduleSum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", reply[2], sum,
             moduleSum, static_cast<int>(pieces));
    return aErrNone;
  }
  // The caller reports the failure once; one line per try would repeat it.
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", reply[2], sum,
           moduleSum);
  if (received < kStatusReplyMin || reply[2] != 0) {
    return fail(aErrInvalidOption, "the module refused the block's sum (status %u)", reply[2]);
  }
  if (received < kSumReplyMin) {
    return fail(aErrInvalidOption, "the sum answer carried no sum");
  }
  return fail(aErrInvalidOption, "the module's sum of the block is %08X, not %08X", moduleSum, sum);
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < kAddressBytes) return fail(aErrParam, "the block holds no load address");
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", be32(data),
           static_cast<int>(length - kAddressBytes));
  uint32_t pieces = 0;
  return _block_transfer(data + kAddressBytes, length - kAddressBytes, pieces);
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
           static_cast<int>(count));
  const uint8_t request[4] = {cmdUPGRADE, val_UPGRADE_WRITE, static_cast<uint8_t>(count >> 8),
                              static_cast<uint8_t>(count)};
  aErr err = send(val_UPGRADE_WRITE, request + 2, 2);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
    return sendFailed(err, "write");
  }
  uint8_t reply[kReplyRoom];
  uint8_t received = 0;
  preset(reply, request, sizeof request, val_UPGRADE_STATUS);
  reply[2] = kWriteFailed;
  err = await(reply, &received, "write");
  if (err != aErrNone || received < kStatusReplyMin || reply[2] != 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    if (err != aErrNone) {
      return aErrInvalidOption;  // the cause is the missing answer
    }
    if (received < kStatusReplyMin) {
      return fail(aErrInvalidOption, "the write answer carried no status");
    }
    return fail(aErrInvalidOption, "the loader refused to write the block (status %u)", reply[2]);
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (data == nullptr || length < kAddressBytes) return fail(aErrParam, "the block holds no load address");
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", be32(data),
           static_cast<int>(length - kAddressBytes));
  uint32_t remaining = length - kAddressBytes;
  uint32_t pieces = 0;
  const uint8_t* position = data + kAddressBytes;
  aErr result = aErrNone;

  // A block size of 0 would never move the transfer on.
  if (remaining != 0 && blockSize == 0) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Failed to transfer firmware\n");
    return fail(aErrInvalidOption, "the loader named a block size of 0");
  }

  Log::timestamped = false;
  display.display_progress(true);
  while (remaining != 0 && result == aErrNone) {
    const uint32_t chunk = remaining < blockSize ? remaining : blockSize;
    result = _block_transfer(position, chunk, pieces);
    if (result == aErrNone) {
      remaining -= chunk;
      position += chunk;
      ++pieces;
      display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length), nullptr);
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
               static_cast<int>(chunk), static_cast<int>(remaining), static_cast<int>(length));
    }
    if (result == aErrNone) {
      result = FirmwareWrite(chunk);
    }
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", static_cast<int>(length - remaining),
           static_cast<int>(length));
  // The caller shows the failure once, with its cause; a line per try here
  // would repeat it whatever the log mask.
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Failed to transfer firmware\n");
  }
  return result;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMS) {
  if (module == nullptr) return aErrResource;
  module->disconnect();
  aErr err = aErrNone;
  for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", static_cast<int>(attempt),
             static_cast<int>(kReconnectAttempts));
    err = module->reconnect();
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMS));
    aTime_MSSleep(delayMS);
  }
  // A module that restarted into its recovery loader reports the default
  // serial number instead of its own.
  for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
    Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
             static_cast<int>(attempt), static_cast<int>(kReconnectAttempts));
    err = module->connect(USB, kDefaultSerial);
    if (err == aErrNone) {
      Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
      return aErrNone;
    }
    Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", static_cast<int>(delayMS));
    aTime_MSSleep(delayMS);
  }
  return err;
}

aErr UpdaterEntity::LoaderStart() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  aErr err = send(val_UPGRADE_LOAD, nullptr, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
    return sendFailed(err, "load");
  }
  uint8_t reply[kReplyRoom];
  uint8_t received = 0;
  reply[0] = cmdUPGRADE;
  reply[1] = val_UPGRADE_LOAD;
  if (await(reply, &received, "load") == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  err = _reconnect(kLoadReconnectDelayMS);
  if (err != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
             aError_GetErrorText(err));
    return aErrTimeout;
  }
  reply[0] = cmdUPGRADE;
  reply[1] = val_UPGRADE_LOAD;
  err = await(reply, &received, "load");
  if (err == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
           aError_GetErrorText(err));
  return aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  aErr result = send(val_UPGRADE_REBOOT, nullptr, 0);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    sendFailed(result, "reboot");
  }
  uint32_t polls = 0;
  while (module != nullptr && module->isConnected()) {
    if (polls++ == kRebootPolls) {
      // The module was told to reboot but its link stays up: it did not
      // restart, so the update is not known to have taken.
      Log::log(DEBUG_Network_FIRM, "NETWORK: link did not drop after the reboot request\n");
      result = fail(aErrTimeout, "the module kept its link for %u s after the reboot request: it did not restart",
                    kRebootPolls * kRebootPollMS / 1000);
      break;
    }
    aTime_MSSleep(kRebootPollMS);
    display.update_spinner(true, "Verifying Update");
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (noWait) break;
  }
  display.update_spinner(false, "Verifying Update");
  return result;
}

#include "tests/sim/netdiscovery/NetworkSpec.h"

namespace netsim {

namespace {

constexpr size_t kSpecSize = 128;
constexpr uint32_t kLinkTypeAWeave = 4;

void putLittleEndian(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLittleEndian(const uint8_t* bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

}  // namespace

std::vector<uint8_t> makeNetworkSpec(const ServerIdentity& identity) {
  std::vector<uint8_t> spec(kSpecSize, 0);
  putLittleEndian(spec, 0, kLinkTypeAWeave);
  putLittleEndian(spec, 4, identity.serial);
  // 8..19: module address, router address, router serial number: zero.
  putLittleEndian(spec, 20, identity.model);
  for (size_t i = 0; i < 4; ++i) spec[24 + i] = identity.address[i];
  putLittleEndian(spec, 28, identity.port);
  return spec;
}

SpecFields readNetworkSpec(const uint8_t* bytes) {
  SpecFields fields{};
  fields.type = getLittleEndian(bytes, 0);
  fields.serial = getLittleEndian(bytes, 4);
  fields.moduleAddress = getLittleEndian(bytes, 8);
  fields.routerAddress = getLittleEndian(bytes, 12);
  fields.routerSerial = getLittleEndian(bytes, 16);
  fields.model = getLittleEndian(bytes, 20);
  for (size_t i = 0; i < 4; ++i) fields.address[i] = bytes[24 + i];
  fields.port = getLittleEndian(bytes, 28);
  fields.reservedZero = true;
  for (size_t i = 32; i < kSpecSize; ++i) fields.reservedZero = fields.reservedZero && bytes[i] == 0;
  return fields;
}

}  // namespace netsim

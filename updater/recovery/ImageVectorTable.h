#ifndef UPDATER_RECOVERY_IMAGEVECTORTABLE_H
#define UPDATER_RECOVERY_IMAGEVECTORTABLE_H

#include <cstddef>
#include <cstdint>

// The image vector table that an i.MX RT boot ROM reads at the address it
// is told to jump to; without one there it refuses the jump. 32 bytes:
//   [0] tag 0xD1, [1..2] length 0x0020 big-endian, [3] version 0x40-0x43,
//   then little-endian words: entry, reserved, dcd, boot data, self, csf,
//   reserved.
namespace IMX1050 {
constexpr size_t IVT_BYTES = 32;

// True when the bytes hold a table for a jump to address: its header is
// right, it names itself at address and it has an entry point.
bool isImageVectorTable(const unsigned char* bytes, size_t count, uint32_t address);

// True when the table names a CSF, the signature that a chip with HAB
// closed checks before it starts the image.
bool namesSignature(const unsigned char* bytes, size_t count);
}  // namespace IMX1050

#endif

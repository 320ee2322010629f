#ifndef TESSARINE2_COMMON_ADEBUG_H
#define TESSARINE2_COMMON_ADEBUG_H

#include <cstdint>

// The device library's trace. A line is printed to standard output (and
// flushed) only while the switch is non-zero and its group is in the mask.
// Both start at 0 and the tool never sets them: the library is silent unless
// an embedding program turns the trace on.
extern volatile uint8_t aTessarineDebuggingEnable;
extern volatile uint32_t aTessarineDebuggingLevel;

enum : uint32_t {
  aDEBUG_LINK = 0x1,          // link creation, synchronisation, link table
  aDEBUG_PACKETS = 0x2,       // packet traffic and heartbeats
  aDEBUG_SERVER = 0x4,        // module-sharing server
  aDEBUG_MULTICAST = 0x8,     // multicast sockets
  aDEBUG_DISCOVERY = 0x10,    // discovery
  aDEBUG_CLIENT = 0x20,       // network client stream
  aDEBUG_AUTONETWORK = 0x40,  // auto-networking
  aDEBUG_BEACON_LOCK = 0x200, // beacon-interface lock
  aDEBUG_USB = 0x400,         // USB read and write errors
};

// printf-style trace line of the group.
void aTessarine_Trace(uint32_t group, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif

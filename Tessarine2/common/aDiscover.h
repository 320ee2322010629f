#ifndef TESSARINE2_COMMON_ADISCOVER_H
#define TESSARINE2_COMMON_ADISCOVER_H

#include <cstddef>
#include <cstdint>

#include "Tessarine2/common/aError.h"

// Transport of a link. Any other value enumerates nothing.
typedef uint32_t linkType;
enum : linkType {
  USB = 1,
  TCPIP = 2,    // a module reached directly over TCP, found by legacy UDP discovery
  SERIAL = 3,   // a serial port
  AWEAVE = 4,   // a network client of a module-sharing server
};

// Everything needed to open a link to one module: 128 bytes, copied by value
// between discovery, the application, Module, Link and link creation. All
// integers are 32-bit host order unless noted.
//
//            USB              TCPIP                 serial          aWeave
//  type      1                2                     3               4
//  serial    from USB string  reply bytes 4-7       the module's id from the server
//  module    0                reply byte 1          caller          0
//  router    0                reply byte 1          caller          0
//  routerSN  0                reply bytes 4-7       caller          0
//  model     low byte of PID  reply byte 12         caller          from the server
//  word 1    serial again     IPv4 (network order)  baud rate       server IPv4 (network order)
//  word 2    0                TCP port              port name ->    server TCP port
//  rest      0                0                     name text (NUL) 0
struct linkSpec {
  linkType type;
  uint32_t serial_num;
  uint32_t module;
  uint32_t router;
  uint32_t router_serial_num;
  uint32_t model;
  union {
    struct {
      uint32_t usb_id;
    } usb;
    struct {
      uint32_t ip_address;
      uint32_t ip_port;
    } ip;
    struct {
      uint32_t baudrate;
      char port[100];  // runs from byte 28 to the end of the record
    } serial;
    uint8_t transport[104];
  } t;
};

static_assert(sizeof(linkSpec) == 128, "a linkSpec is 128 bytes on every path");
static_assert(offsetof(linkSpec, type) == 0, "linkSpec layout");
static_assert(offsetof(linkSpec, serial_num) == 4, "linkSpec layout");
static_assert(offsetof(linkSpec, module) == 8, "linkSpec layout");
static_assert(offsetof(linkSpec, router) == 12, "linkSpec layout");
static_assert(offsetof(linkSpec, router_serial_num) == 16, "linkSpec layout");
static_assert(offsetof(linkSpec, model) == 20, "linkSpec layout");
static_assert(offsetof(linkSpec, t) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.usb.usb_id) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ip_address) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.ip.ip_port) == 28, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.baudrate) == 24, "linkSpec layout");
static_assert(offsetof(linkSpec, t.serial.port) == 28, "linkSpec layout");

// Called for every module an enumeration finds. The record is valid only
// during the call (copy it to keep it); set *taken to count it; return false
// to stop the enumeration.
typedef bool (*aDiscoveryCallback)(const linkSpec* spec, bool* taken, void* reference);

// A new record zeroed except its type; NULL when memory is short.
linkSpec* aLinkSpec_Create(linkType type);
// A new record with the same 128 bytes; NULL for a NULL source or short memory.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the record and clears the caller's pointer; aErrParam when it is NULL.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Number of records the callback marked taken, counted in 8 bits; 0 for a
// NULL callback. networkInterface (IPv4, network order) is used by the
// aWeave branch only. USB lists the modules on the bus (each opened only to
// read its serial-number string); TCPIP multicasts the legacy discovery
// request on every IPv4 interface and offers every answer, ending 2 s after
// the last one; a flood ends after 255 answers offered or 30 s after the
// requests.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryCallback callback, void* reference,
                                    uint32_t networkInterface);
// A copy of the first found record with that serial number, or NULL. The
// caller destroys it.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// A copy of the first found record whose serial number is not 0, or NULL.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// IPv4 addresses (network order) of the machine's interfaces, as CZMQ's
// interface list reports them, at most capacity; the count. 0 for NULL.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Dotted decimal text of address (network order) in buffer (zeroed first):
// the text length; 0 when the buffer has 15 bytes or fewer or on failure.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

// The aWeave branch of aDiscovery_EnumerateModules: module-sharing servers
// found on the network.
uint8_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryCallback callback, void* reference, uint32_t networkInterface);

#endif

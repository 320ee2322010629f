#ifndef UPDATER_RECOVERY_SDPLOADER_INTERFACE_H
#define UPDATER_RECOVERY_SDPLOADER_INTERFACE_H

#include <vector>

// HID report ids of the i.MX RT Serial Download Protocol. Every packet the
// protocol driver hands to a transport starts with one of the host's ids; a
// serial port carries the same packets without it.
namespace SDPReport {
constexpr unsigned char COMMAND = 0x01;  // host: 16-byte SDP command
constexpr unsigned char DATA = 0x02;     // host: image bytes
constexpr unsigned char HAB_MODE = 0x03; // device: 4-byte security mode word
constexpr unsigned char RESPONSE = 0x04; // device: 64-byte status or data
}  // namespace SDPReport

// The byte transport under SDPLoader: USB HID or a serial port. Owned by the
// SDPLoader it is handed to, and used from one thread only.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;

  // Opens the device. Called once; false when there is nothing to talk to.
  virtual bool init() = 0;

  // Sends one packet (report id first). Returns what went out, negative on
  // failure.
  virtual long writeData(const std::vector<unsigned char>& packet) = 0;

  // Appends what the device sends until it stays quiet for the time-out;
  // returns the number of bytes appended (0 on time-out or error).
  virtual long readData(std::vector<unsigned char>& reply, unsigned int timeoutMS) = 0;

  // ORs answer word `index` (0 to 15, little-endian on the wire) of a
  // gathered reply into value. False, value untouched, when the reply does
  // not have the layout of one answer or holds no such word.
  virtual bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                 unsigned int& value) = 0;

  // The HAB mode word that leads a gathered reply, into value (assigned).
  // False, value untouched, when the reply does not begin with one; a
  // transport that cannot tell says so.
  virtual bool getHabModeFromBuffer(const std::vector<unsigned char>& reply, unsigned int& value) {
    (void)reply;
    (void)value;
    return false;
  }
};

#endif

#include "updater/Usage.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "updater/server/UpdateServerRequest.h"

namespace {

const char kNotice[] = "(Copyright (c) 2024 Zeltrova. All rights reserved.)";

const char kSynopsisFormat[] =
    "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Tessarine Update and Maintenance Application\n    -H -h or --help for full usage information.\n\n";

// Option column: five spaces, the option in 25 characters, "- "; further
// description lines line up behind it.
constexpr int kOptionIndent = 5;
constexpr int kOptionWidth = 25;
constexpr int kDescriptionIndent = kOptionIndent + kOptionWidth + 2;
constexpr int kSampleWidth = 31;
constexpr int kMaskNameWidth = 20;

std::string spaces(int count) { return std::string(static_cast<size_t>(count), ' '); }

std::string padded(const std::string& text, int width) {
  std::string line = text;
  if (line.size() < static_cast<size_t>(width)) line.append(static_cast<size_t>(width) - line.size(), ' ');
  return line;
}

void heading(std::string& out, const char* text) {
  out += "  ";
  out += text;
  out += "\n";
}

void blank(std::string& out) { out += "\n"; }

void entry(std::string& out, const char* option, std::initializer_list<std::string> lines) {
  bool first = true;
  for (const std::string& line : lines) {
    if (first) {
      out += spaces(kOptionIndent) + padded(option, kOptionWidth) + "- " + line + "\n";
      first = false;
    } else {
      out += spaces(kDescriptionIndent) + line + "\n";
    }
  }
}

void maskLine(std::string& out, const char* name, unsigned value) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", value);
  out += spaces(kDescriptionIndent) + padded(name, kMaskNameWidth) + hex + "\n";
}

void sample(std::string& out, const char* command, std::initializer_list<const char*> lines) {
  bool first = true;
  for (const char* line : lines) {
    out += (first ? padded(command, kSampleWidth) : spaces(kSampleWidth)) + line + "\n";
    first = false;
  }
  blank(out);
}

// The last sample's command is too long to share a line with its text.
void sampleAlone(std::string& out, const char* command, std::initializer_list<const char*> lines) {
  out += std::string(command) + "\n";
  for (const char* line : lines) out += spaces(kSampleWidth) + std::string(line) + "\n";
  blank(out);
}

// "host:port" of the default update-server address.
std::string defaultServerHost() {
  std::string url = UpdateServerRequest::DEFAULT_URL;
  std::string port = ":80";
  size_t scheme = url.find("://");
  if (scheme != std::string::npos) {
    if (url.compare(0, scheme, "https") == 0) port = ":443";
    url.erase(0, scheme + 3);
  }
  size_t path = url.find('/');
  if (path != std::string::npos) url.erase(path);
  if (url.find(':') != std::string::npos) port.clear();
  return url + port;
}

void commandsBlock(std::string& out) {
  heading(out, "Parameters to commands:");
  entry(out, "-i <zeltrova_directory>",
        {"The Zeltrova directory used for storage of ", "firmware files. [Default: ~/.zeltrova ]."});
  entry(out, "-b <build number>",
        {"Build version of the firmware to transfer.", "[Default: latest version available]."});
  entry(out, "-d <device>", {"Device serial number of the device to access."});
  entry(out, "-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
  entry(out, "-f <bird file>", {"Firmware file to be transferred to device."});
  entry(out, "-r <router serial>", {"indirect connection through router device"});
  entry(out, "-s <serial port>", {"name of serial port to use for recovery"});
  entry(out, "-o <baud rate>",
        {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"});
  heading(out, "Commands:");
  entry(out, "-B", {"list the Builds available for given device."});
  blank(out);
  entry(out, "-D", {"Discover devices that are currently connected."});
  blank(out);
  entry(out, "-G",
        {"Get build file from the Zeltrova server and", "store on local machine for download to device.",
         "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
         "given device, override with \"-b\" option."});
  blank(out);
  entry(out, "-U",
        {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
         "Default is to download the latest build for the", "given device, override with \"-b\" option or",
         "specify specific BIRD file using \"-f\" option."});
  entry(out, "-H or -h", {"Display extended usage information."});
  blank(out);
}

void extendedBlock(std::string& out) {
  heading(out, "Extended Parameters:");
  entry(out, "-e", {"echoing of bytes enabled during recovery."});
  blank(out);
  entry(out, "-l 'log message'", {"message to place in device history log"});
  entry(out, "-k <filename>", {"log messages written into given filename", "Default:[APP.log]"});
  entry(out, "-u <host:port>", {"The hostname and port of the update server", "Default: " + defaultServerHost()});
  heading(out, "Extended Commands:");
  entry(out, "-I",
        {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
         "specify a specific device [\"-d\" option]."});
  blank(out);
  entry(out, "-OVERRIDE",
        {"Override the model checks for BIRD firmware files.", "This option should only be used when authorized by",
         "Zeltrova development engineers."});
  blank(out);
  entry(out, "-N", {"Get fingerprint from a device, requires -s"});
  blank(out);
  entry(out, "-X <BIT_MASK>", {"Bitmask for Logging"});
  maskLine(out, "DEBUG_Updater", 0x00000001);
  maskLine(out, "DEBUG_History", 0x00000002);
  maskLine(out, "DEBUG_Attributes", 0x00000004);
  maskLine(out, "DEBUG_BirdFile", 0x00000008);
  maskLine(out, "DEBUG_Network", 0x00000010);
  maskLine(out, "DEBUG_ServerComm", 0x00000020);
  blank(out);
  maskLine(out, "DEBUG_Network", 0x00000100);
  maskLine(out, "DEBUG_Network_SR", 0x00000200);
  maskLine(out, "DEBUG_Network_FIRM", 0x00000400);
  blank(out);
  maskLine(out, "DEBUG_NXPSerial", 0x00001000);
  maskLine(out, "DEBUG_NXPSerial_E", 0x00002000);
  maskLine(out, "DEBUG_NXPSerial_SR", 0x00004000);
  blank(out);
  maskLine(out, "DEBUG_APP", 0x00010000);
  blank(out);
  maskLine(out, "DEBUG_iMXSerial", 0x10000000);
  blank(out);
  entry(out, "-C", {"Check the given BIRDFILE"});
  blank(out);
}

void samplesBlock(std::string& out) {
  out += " Sample usage:\n";
  blank(out);
  sample(out, "-D",
         {"Discover all devices connected by either USB or TCPIP.",
          "Records the device information into the settings for that device."});
  sample(out, "-D -t USB",
         {"Discover all the devices connected by USB. Records the",
          "device information into the settings for that device."});
  sample(out, "-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"});
  sample(out, "-G -d 40F5849A",
         {"Get the latest firmware for the given device.",
          "Downloads the firmware file into the updater specific device directory."});
  sample(out, "-U -d 40F5849A",
         {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
          "the latest firmware version to be used for updating the device."});
  sample(out, "-G -d 40F5849A -b 99528558",
         {"Get the specified build's firmware for the given device.",
          "Downloads the firmware file into the updater's specific",
          "device directory with the build number as the filename."});
  sample(out, "-G -U -d 40F5849A",
         {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
          "device directory. After download, update the firmware", "using the latest release."});
  sample(out, "-U -t RECOVER -s /dev/serial",
         {"Update the firmware as described above, but uses the serial interface",
          "in communicating with the device to install the latest firmware."});
  out += " Sample usage for network discovery and updates:\n";
  blank(out);
  sample(out, "-D -r D272031D",
         {"Discover all devices connected to the I2C Tessarine network", "of the given routing device D272031D."});
  sampleAlone(out, "-G -U -d 2181F0EE -r D272031D",
              {"Get and Update to the latest firmware for device 2181F0EE",
               "indirectly through routing device D272031D."});
}

}  // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", kApplicationName, kApplicationVersion);
}

void _display_copyright(UpdaterDisplayInterface& display) {
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", kNotice);
}

std::string _usage_text(bool extended, bool full) {
  char synopsis[sizeof kSynopsisFormat + 64];
  snprintf(synopsis, sizeof synopsis, kSynopsisFormat, kApplicationName);
  std::string out = synopsis;
  if (full) commandsBlock(out);
  if (full && extended) extendedBlock(out);
  if (full) samplesBlock(out);
  return out;
}

void _display_usage(bool extended, bool full) {
  std::string text = _usage_text(extended, full);
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

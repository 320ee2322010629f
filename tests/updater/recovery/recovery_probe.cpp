// recovery_probe: drives a boot ROM the way the recovery roads do, for the
// tests of the standalone simulated ROMs.
//
//   recovery_probe lpc PORT   sync at 115200 and print the device id words
//   recovery_probe imx PORT   read the fuse id ("USB" for HID), load 2000
//                             bytes to 0x20000000 and jump to 0x20000400
//
// Exit status 0 when every step succeeded, 1 otherwise.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "updater/recovery/HID_SDPLoader.h"
#include "updater/recovery/NXPSerialClass.h"
#include "updater/recovery/SDPLoader.h"
#include "updater/recovery/Serial_SDPLoader.h"

namespace {

int probeLpc(const char* port) {
  NXPSerialClass isp;
  if (isp.Connect(port, 115200) != aErrNone || isp.Sync() != aErrNone || isp.GetDeviceID() != aErrNone) {
    std::printf("lpc: no answer\n");
    return 1;
  }
  std::printf("[ %08X %08X %08X %08X ]\n", isp.deviceId(0), isp.deviceId(1), isp.deviceId(2), isp.deviceId(3));
  return 0;
}

int probeImx(const char* port) {
  SDPLoader loader;
  if (std::strcmp(port, "USB") == 0) {
    loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  } else {
    loader.setLoader(new Serial_SDPLoader(port));
  }
  if (loader.init() != 0) {
    std::printf("imx: cannot open %s\n", port);
    return 1;
  }
  unsigned long id = 0;
  int result = loader.getFingerprint(id);
  if (result != 0) {
    std::printf("imx: fingerprint %d\n", result);
    return 1;
  }
  std::printf("uid %016lX\n", id);
  // Counting bytes, with the image vector table the ROM wants at the jump
  // target (0x20000400: offset 0x400).
  std::vector<unsigned char> image(2000);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<unsigned char>(i);
  }
  const unsigned char table[24] = {0xD1, 0x00, 0x20, 0x41, 0x01, 0x14, 0x00, 0x20, 0, 0, 0, 0,
                                   0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x04, 0x00, 0x20};
  std::copy(table, table + sizeof table, image.begin() + 0x400);
  result = loader.writeLoader(image, 0x20000000);
  if (result != 0) {
    std::printf("imx: write %d\n", result);
    return 1;
  }
  loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s lpc|imx PORT\n", argv[0]);
    return 2;
  }
  if (std::strcmp(argv[1], "lpc") == 0) {
    return probeLpc(argv[2]);
  }
  if (std::strcmp(argv[1], "imx") == 0) {
    return probeImx(argv[2]);
  }
  return 2;
}

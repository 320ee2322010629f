# Every third-party library is found through pkg-config (or its own CMake
# package for the test frameworks); no path is hard-coded.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
pkg_check_modules(LIBZMQ REQUIRED IMPORTED_TARGET libzmq)
pkg_check_modules(CZMQ REQUIRED IMPORTED_TARGET libczmq)
pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)

# The test suite. umockdev's emulated kernel carries its whole USB road:
# the USB driver and stream, USB discovery and links, the i.MX boot ROM over
# HID, and every update and recovery over USB. A suite built without it
# would pass without ever trying that road, so a missing umockdev stops the
# configuration instead (scripts/setup installs it).
if(TESSARINE_BUILD_TESTS AND NOT TESSARINE_FUZZ)
  find_package(GTest REQUIRED)
  find_package(benchmark REQUIRED)
  pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
  if(NOT UMOCKDEV_FOUND)
    message(FATAL_ERROR
      "umockdev-1.0 not found: the tests of everything over USB (driver, discovery, links, i.MX boot ROM over HID, "
      "updates and recoveries over USB) need it. Install umockdev and libumockdev-dev (scripts/setup), or "
      "configure with -DTESSARINE_BUILD_TESTS=OFF to build the product without the tests.")
  endif()
endif()

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
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)

find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)

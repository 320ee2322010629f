// Decodes arbitrary text and checks the result against what the input
// allows; then encodes the input as bytes and checks the round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "updater/support/base64.h"

namespace {

bool inAlphabet(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

void check(bool condition) {
  if (!condition) abort();
}

void checkDecode(const uint8_t* data, size_t size) {
  bool acceptable = size % 4 == 0;
  for (size_t i = 0; i < size && acceptable; i++) acceptable = data[i] == '=' || inAlphabet(data[i]);

  size_t expected = size / 4 * 3;
  if (size >= 1 && data[size - 1] == '=') expected--;
  if (size >= 2 && data[size - 2] == '=') expected--;

  size_t length = SIZE_MAX;
  unsigned char* out = base64_decode(reinterpret_cast<const char*>(data), size, &length);
  check((out != nullptr) == acceptable);
  if (out == nullptr) return;
  check(length == expected);
  check(out[length] == 0);
  free(out);
}

void checkRoundTrip(const uint8_t* data, size_t size) {
  size_t textLength = SIZE_MAX;
  char* text = base64_encode(data, size, &textLength);
  check(text != nullptr);
  check(textLength == (size + 2) / 3 * 4);
  check(text[textLength] == '\0');

  size_t length = SIZE_MAX;
  unsigned char* back = base64_decode(text, textLength, &length);
  check(back != nullptr);
  check(length == size);
  check(size == 0 || memcmp(back, data, size) == 0);
  free(back);
  free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkDecode(data, size);
  checkRoundTrip(data, size);
  return 0;
}

#include "updater/support/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const char encoding_table[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz"
    "0123456789+/";

// "=" characters that end an encoding, by input length modulo 3.
const int mod_table[] = {0, 2, 1};

const char kPad = '=';

}  // namespace

unsigned char* _build_decoding_table() {
  unsigned char* table = static_cast<unsigned char*>(malloc(256));
  if (table == nullptr) return nullptr;
  memset(table, BASE64_NOT_IN_ALPHABET, 256);
  for (unsigned char value = 0; value < 64; value++)
    table[static_cast<unsigned char>(encoding_table[value])] = value;
  return table;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
  // Beyond this the output length would not fit a size_t.
  if (input_length > (SIZE_MAX - 1) / 4 * 3 - 2) return nullptr;

  size_t length = (input_length + 2) / 3 * 4;
  *output_length = length;
  char* encoded = static_cast<char*>(malloc(length + 1));
  if (encoded == nullptr) return nullptr;
  encoded[length] = '\0';

  for (size_t i = 0, j = 0; i < input_length;) {
    uint32_t a = data[i++];
    uint32_t b = i < input_length ? data[i++] : 0;
    uint32_t c = i < input_length ? data[i++] : 0;
    uint32_t triple = (a << 16) | (b << 8) | c;
    encoded[j++] = encoding_table[(triple >> 18) & 0x3F];
    encoded[j++] = encoding_table[(triple >> 12) & 0x3F];
    encoded[j++] = encoding_table[(triple >> 6) & 0x3F];
    encoded[j++] = encoding_table[triple & 0x3F];
  }
  for (int k = 0; k < mod_table[input_length % 3]; k++) encoded[length - 1 - k] = kPad;
  return encoded;
}

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
  if (input_length % 4 != 0) return nullptr;

  size_t length = input_length / 4 * 3;
  if (input_length > 0 && data[input_length - 1] == kPad) length--;
  if (input_length > 1 && data[input_length - 2] == kPad) length--;

  unsigned char* table = _build_decoding_table();
  if (table == nullptr) {
    *output_length = length;
    return nullptr;
  }
  unsigned char* decoded = static_cast<unsigned char*>(malloc(length + 1));
  if (decoded == nullptr) {
    free(table);
    *output_length = length;
    return nullptr;
  }
  decoded[length] = '\0';

  for (size_t i = 0, j = 0; i < input_length;) {
    uint32_t group = 0;
    for (int k = 0; k < 4; k++, i++) {
      unsigned char c = static_cast<unsigned char>(data[i]);
      uint32_t value = 0;
      if (c != kPad) {
        value = table[c];
        if (value == BASE64_NOT_IN_ALPHABET) {
          free(table);
          free(decoded);
          return nullptr;
        }
      }
      group = (group << 6) | value;
    }
    for (int shift = 16; shift >= 0 && j < length; shift -= 8)
      decoded[j++] = static_cast<unsigned char>(group >> shift);
  }

  free(table);
  *output_length = length;
  return decoded;
}

#ifndef UPDATER_SUPPORT_BASE64_H
#define UPDATER_SUPPORT_BASE64_H

#include <cstddef>

// Base64 with the standard alphabet and "=" padding. Both directions return
// a malloc'd buffer with a zero byte after the data (the stored length does
// not count it); the caller frees it.

// NULL when the buffer cannot be allocated or the length is too large to
// encode.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

// NULL when the input length is not a multiple of 4, when a character lies
// outside the alphabet and is not "=", or when the buffer cannot be
// allocated; *output_length is then stored only in the last case. "=" counts
// as zero bits wherever it stands; only in the last two places does it also
// shorten the output. Nothing is skipped: line breaks and spaces are refused.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// A malloc'd 256-entry table indexed by character code: each alphabet
// character holds its 6-bit value, every other entry BASE64_NOT_IN_ALPHABET.
// The caller frees it.
constexpr unsigned char BASE64_NOT_IN_ALPHABET = 0xFF;
unsigned char* _build_decoding_table();

#endif

#include "updater/support/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

struct Decoded {
  bool ok;
  std::string bytes;
  bool terminated;
  size_t length;
};

const size_t kUntouched = 0xDEAD;

Decoded decode(const std::string& text) {
  size_t length = kUntouched;
  unsigned char* out = base64_decode(text.data(), text.size(), &length);
  Decoded d{out != nullptr, "", false, length};
  if (out != nullptr) {
    d.bytes.assign(reinterpret_cast<char*>(out), length);
    d.terminated = out[length] == '\0';
    free(out);
  }
  return d;
}

std::string encode(const std::string& bytes) {
  size_t length = kUntouched;
  char* out = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return "<null>";
  EXPECT_EQ(out[length], '\0');
  std::string text(out, length);
  free(out);
  return text;
}

struct DecodeCase {
  const char* shows;
  std::string input;
  std::string expected;
};

const DecodeCase kDecodeCases[] = {
    {"a full group gives three bytes", "TWFu", "Man"},
    {"one \"=\" gives two bytes", "TWE=", "Ma"},
    {"\"==\" gives one byte", "TQ==", "M"},
    {"empty input gives no bytes", "", ""},
    {"several groups", "aGVsbG8gd29ybGQ=", "hello world"},
    {"\"=\" inside counts as zero bits without shortening", "TW=uTWFu", "M`.Man"},
    {"\"=\" in the third place alone shortens by one", "TW=u", "M`"},
    {"all padding gives one zero byte", "====", std::string(1, '\0')},
    {"every alphabet character", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
     std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71\xd7\x9f"
     "\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                 48)},
};

TEST(Base64Decode, Cases) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(c.shows);
    Decoded d = decode(c.input);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, c.expected);
    EXPECT_EQ(d.length, c.expected.size());
    EXPECT_TRUE(d.terminated);
  }
}

TEST(Base64Decode, DecodedTextIsAZeroTerminatedString) {
  size_t length = 0;
  unsigned char* out = base64_decode("b2s=", 4, &length);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "ok");
  free(out);
}

struct RefusedCase {
  const char* shows;
  std::string input;
};

const RefusedCase kRefusedCases[] = {
    {"length 5", "TWFuT"},
    {"length 6", "TWFuTW"},
    {"length 7", "TWFuTWE"},
    {"length 1", "T"},
    {"trailing carriage return makes the length wrong", "TWFu\r"},
    {"line break inside", "TW\nu"},
    {"space inside", "TW u"},
    {"carriage return and line feed ending a group", "TW\r\n"},
    {"URL-safe alphabet", "TW-_"},
    {"zero byte", std::string("TW\0u", 4)},
    {"high byte", "TW\xFFu"},
    {"bad character in a later group", "TWFuTWF*"},
};

TEST(Base64Decode, RefusesWrongLengthsAndCharactersOutsideTheAlphabet) {
  for (const RefusedCase& c : kRefusedCases) {
    SCOPED_TRACE(c.shows);
    Decoded d = decode(c.input);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.length, kUntouched);
  }
}

TEST(Base64Decode, EveryByteOutsideTheAlphabetIsRefusedInEveryPlace) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int value = 0; value < 256; value++) {
    char c = static_cast<char>(value);
    bool accepted = c == '=' || alphabet.find(c) != std::string::npos;
    for (size_t place = 0; place < 4; place++) {
      std::string input = "QUJD";
      input[place] = c;
      EXPECT_EQ(decode(input).ok, accepted) << "byte " << value << " in place " << place;
    }
  }
}

struct EncodeCase {
  const char* shows;
  std::string input;
  std::string expected;
};

const EncodeCase kEncodeCases[] = {
    {"no bytes give empty text", "", ""},
    {"one byte pads with \"==\"", "M", "TQ=="},
    {"two bytes pad with \"=\"", "Ma", "TWE="},
    {"three bytes need no padding", "Man", "TWFu"},
    {"high and zero bytes", std::string("\xFF\x00\xFE", 3), "/wD+"},
};

TEST(Base64Encode, Cases) {
  for (const EncodeCase& c : kEncodeCases) {
    SCOPED_TRACE(c.shows);
    EXPECT_EQ(encode(c.input), c.expected);
  }
}

TEST(Base64Encode, RefusesALengthWhoseEncodingCannotBeSized) {
  unsigned char byte = 0;
  size_t length = kUntouched;
  EXPECT_EQ(base64_encode(&byte, SIZE_MAX, &length), nullptr);
  EXPECT_EQ(length, kUntouched);
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  std::string bytes;
  for (int n = 0; n < 300; n++) {
    SCOPED_TRACE(n);
    std::string text = encode(bytes);
    EXPECT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
    Decoded d = decode(text);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, bytes);
    bytes.push_back(static_cast<char>((n * 37 + 11) & 0xFF));
  }
}

TEST(Base64, DecodingTableHoldsTheAlphabetAndMarksEverythingElse) {
  unsigned char* table = _build_decoding_table();
  ASSERT_NE(table, nullptr);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; c++) {
    size_t at = alphabet.find(static_cast<char>(c));
    unsigned expected = at == std::string::npos ? BASE64_NOT_IN_ALPHABET : static_cast<unsigned>(at);
    EXPECT_EQ(table[c], expected) << "character " << c;
  }
  free(table);
}

}  // namespace

#include "updater/firmware/BirdFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/sim/TempDir.h"
#include "tests/sim/bird/BirdGenerator.h"
#include "tests/sim/bird/SeedCorpus.h"
#include "updater/firmware/FileError.h"
#include "updater/support/Log.h"

namespace {

using birdgen::Bytes;
using birdgen::Container;

std::string asString(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string writeContainer(const testsupport::TempDir& dir, const std::string& name, const Container& c) {
  return dir.write(name, asString(birdgen::file(c)));
}

Bytes payloadOf(const BirdBlock& b) { return Bytes(b.payload, b.payload + b.length); }

Container simpleContainer() {
  Container c;
  c.blocks = {birdgen::firmware(0x1000, birdgen::pattern(32, 1))};
  return c;
}

bool loadBody(BirdFile& f, const Bytes& body) { return f.LoadBody(body.data(), body.size()); }

void expectEmpty(const BirdFile& f) {
  EXPECT_TRUE(f.blocks.empty());
  EXPECT_EQ(f.blockCount, 0u);
  EXPECT_EQ(f.body, nullptr);
  EXPECT_EQ(f.bodySize, 0u);
  EXPECT_FALSE(f.hasSerialOffsets);
  EXPECT_EQ(f.serialOffset, 0u);
  EXPECT_EQ(f.descriptorOffset, 0u);
}

// ---------------------------------------------------------------- header

struct HeaderCase {
  const char* shows;
  std::string bytes;
  bool verifies;
  bool loads;
};

std::vector<HeaderCase> headerCases() {
  const std::string good = asString(birdgen::file(simpleContainer()));
  auto withHeader = [](std::array<uint8_t, 4> sig, uint8_t hi, uint8_t lo) {
    Container c = simpleContainer();
    c.signature = sig;
    c.versionHigh = hi;
    c.versionLow = lo;
    return asString(birdgen::file(c));
  };
  Container trailer = simpleContainer();
  trailer.fileTrailer = birdgen::text("junk after the stream");
  Container flipped = simpleContainer();
  flipped.corruptions = {{good.size() - 1, 0x01}};  // last byte of the Adler-32
  return {
      {"well-formed container", good, true, true},
      {"version high byte 0 loads but does not verify", withHeader({{'b', 'i', 'r', 'd'}}, 0, 1), false, true},
      {"version low byte 0 loads but does not verify", withHeader({{'b', 'i', 'r', 'd'}}, 1, 0), false, true},
      {"other version bytes verify", withHeader({{'b', 'i', 'r', 'd'}}, 0x02, 0x07), true, true},
      {"wrong signature is Load's business only through VerifyFile", withHeader({{'B', 'I', 'R', 'D'}}, 1, 1), false,
       true},
      {"exactly the 6 header bytes", good.substr(0, 6), true, false},
      {"5 bytes", good.substr(0, 5), false, false},
      {"empty file", std::string(), false, false},
      {"header and a cut zlib stream", good.substr(0, good.size() - 3), true, false},
      {"header and no zlib stream", good.substr(0, 6) + "not zlib at all", true, false},
      {"flipped checksum bit of the zlib stream", asString(birdgen::file(flipped)), true, false},
      {"bytes after the zlib stream are ignored by zlib", asString(birdgen::file(trailer)), true, true},
  };
}

TEST(BirdFileHeader, VerifyFileAndLoadTable) {
  testsupport::TempDir dir;
  int n = 0;
  for (const HeaderCase& c : headerCases()) {
    SCOPED_TRACE(c.shows);
    const std::string path = dir.write("case" + std::to_string(n++) + ".bird", c.bytes);
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies);
    BirdFile f;
    f.path = path;
    EXPECT_EQ(f.Load(), c.loads);
    if (c.loads) {
      EXPECT_EQ(f.signature, uint32_t(uint8_t(c.bytes[0])) << 24 | uint32_t(uint8_t(c.bytes[1])) << 16 |
                                 uint32_t(uint8_t(c.bytes[2])) << 8 | uint8_t(c.bytes[3]));
      EXPECT_EQ(f.version, uint32_t(uint8_t(c.bytes[4])) << 8 | uint8_t(c.bytes[5]));
      EXPECT_EQ(f.blockCount, 1u);
    } else {
      expectEmpty(f);
      EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error);
    }
  }
}

TEST(BirdFileHeader, ConstructorLoadsOrThrowsTheSystemText) {
  testsupport::TempDir dir;
  const std::string good = writeContainer(dir, "good.bird", simpleContainer());
  BirdFile f(good.c_str());
  EXPECT_EQ(f.path, good);
  EXPECT_EQ(f.signature, 0x62697264u);
  EXPECT_EQ(f.version, uint32_t(BirdFile::BIRD_FILE_VERSION));

  try {
    BirdFile missing(dir.file("missing.bird").c_str());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird").c_str()));
}

// Each refusal says why in words, for the line a user gets; the exception
// keeps its own text and carries the file and the reason beside it.
TEST(BirdFileHeader, RefusalsSayWhy) {
  testsupport::TempDir dir;
  const std::string good = asString(birdgen::file(simpleContainer()));
  Container zeroVersion = simpleContainer();
  zeroVersion.versionLow = 0;
  Container blockPastTheEnd = simpleContainer();
  blockPastTheEnd.blocks[0].lengthField = 200;
  ASSERT_EQ(mkdir(dir.file("folder.bird").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo.bird").c_str(), 0600), 0);
  dir.write("text.bird", "LATEST_DOWNLOAD=1234.bird\nnot a container at all\n");
  dir.write("short.bird", good.substr(0, 5));
  dir.write("cut.bird", good.substr(0, good.size() / 2));
  writeContainer(dir, "zero.bird", zeroVersion);
  writeContainer(dir, "past.bird", blockPastTheEnd);
  const std::string notBird = "it does not begin with \"bird\", so it is no firmware container";
  struct Row {
    const char* file;
    std::string loadReason;    // empty: Load accepts it
    std::string verifyReason;  // empty: VerifyFile accepts it
  } rows[] = {
      {"missing.bird", "No such file or directory", "No such file or directory"},
      {"folder.bird", "Is a directory", "Is a directory"},
      {"fifo.bird", "not a regular file", "not a regular file"},
      {"text.bird", notBird, notBird},
      {"short.bird", "it holds 5 bytes, too few for a container header",
       "it holds 5 bytes, too few for a container header"},
      {"cut.bird", "its compressed body is damaged or cut short", ""},
      {"zero.bird", "", "its container version 1.0 has a zero part"},
      {"past.bird", "block 0 (200 bytes) runs past the end of the body", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const std::string path = dir.file(row.file);
    std::string why = "(untouched)";
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str(), &why), row.verifyReason.empty());
    EXPECT_EQ(why, row.verifyReason);
    BirdFile f;
    f.path = path;
    EXPECT_EQ(f.Load(), row.loadReason.empty());
    EXPECT_EQ(f.LoadFailure(), row.loadReason);
    if (row.loadReason.empty()) continue;
    try {
      BirdFile thrown(path.c_str());
      ADD_FAILURE() << "no exception";
    } catch (const FileError& e) {
      EXPECT_STREQ(e.what(), "Failed to load bird data");
      EXPECT_EQ(e.file(), path);
      EXPECT_EQ(e.reason(), row.loadReason);
    }
  }
  // A later good load leaves no reason behind.
  BirdFile f;
  f.path = dir.file("cut.bird");
  ASSERT_FALSE(f.Load());
  f.path = writeContainer(dir, "good.bird", simpleContainer());
  EXPECT_TRUE(f.Load());
  EXPECT_EQ(f.LoadFailure(), "");
}

TEST(BirdFileHeader, OnlyRegularFilesAreRead) {
  testsupport::TempDir dir;
  const std::string fifo = dir.file("fifo.bird");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opening a FIFO for reading would block until a writer came.
  EXPECT_FALSE(BirdFile::VerifyFile(fifo.c_str()));
  BirdFile f;
  f.path = fifo;
  EXPECT_FALSE(f.Load());
  f.path = dir.path();
  EXPECT_FALSE(f.Load());
  f.path = "/dev/zero";
  EXPECT_FALSE(f.Load());
}

TEST(BirdFileHeader, FileSizeIsCappedAtTheNamedLimit) {
  // A valid container padded with zero bytes after its zlib stream (which
  // zlib ignores) up to the limit loads; one byte more is refused unread.
  testsupport::TempDir dir;
  const std::string path = writeContainer(dir, "big.bird", simpleContainer());
  ASSERT_EQ(truncate(path.c_str(), off_t(BirdFile::MAX_FILE_SIZE)), 0);
  BirdFile f;
  f.path = path;
  EXPECT_TRUE(f.Load());
  ASSERT_EQ(truncate(path.c_str(), off_t(BirdFile::MAX_FILE_SIZE + 1)), 0);
  EXPECT_FALSE(f.Load());
  expectEmpty(f);
}

// ---------------------------------------------------------------- inflate

// Grows a run of zeros behind incompressible bytes until the body is exactly
// 8 times its compressed size plus extra: zeros add a body byte per step and
// a compressed byte only now and then, so every value is met on the way.
Container containerWithInflateRatio(uint32_t extra) {
  for (size_t zeros = 0; zeros < 20000; ++zeros) {
    Bytes image = birdgen::pattern(120, 9);
    image.resize(image.size() + zeros, 0);
    Container c;
    c.blocks = {birdgen::firmware(0, image)};
    const size_t compressed = birdgen::file(c).size() - 6;
    if (birdgen::body(c).size() == 8 * compressed + extra) return c;
  }
  ADD_FAILURE() << "no body with the wanted ratio";
  return Container{};
}

TEST(BirdFileInflate, ExactlyEightTimesLoadsOneByteMoreFails) {
  testsupport::TempDir dir;
  const Container exact = containerWithInflateRatio(0);
  BirdFile f;
  f.path = writeContainer(dir, "exact.bird", exact);
  EXPECT_TRUE(f.Load());
  EXPECT_EQ(f.bodySize, birdgen::body(exact).size());

  f.path = writeContainer(dir, "over.bird", containerWithInflateRatio(1));
  EXPECT_FALSE(f.Load());
  expectEmpty(f);
}

TEST(BirdFileInflate, BodyIsTheInflatedBytes) {
  Container c;
  c.blocks = {birdgen::loader(0x20000000, birdgen::pattern(50, 2), 3), birdgen::raw(0xA1, birdgen::be32(0x400)),
              birdgen::raw(0x03, birdgen::text("kept")), birdgen::loaderStart(0x20000400)};
  c.checksum = 0xDEADBEEF;
  c.compressionLevel = 0;
  const Bytes file = birdgen::file(c);
  const Bytes body = birdgen::body(c);

  BirdFile f;
  ASSERT_TRUE(f.LoadData(file.data(), file.size()));
  ASSERT_EQ(f.bodySize, body.size());
  EXPECT_EQ(Bytes(f.body.get(), f.body.get() + f.bodySize), body);
  EXPECT_EQ(f.checksum, 0xDEADBEEFu);
  ASSERT_EQ(f.blockCount, 4u);
  ASSERT_EQ(f.blocks.size(), 4u);

  // Loader: type 0, flags 3, address from the first payload bytes.
  EXPECT_EQ(f.blocks[0].type, 0);
  EXPECT_EQ(f.blocks[0].flags, 3);
  EXPECT_EQ(f.blocks[0].length, 54u);
  EXPECT_EQ(f.blocks[0].address, 0x20000000u);
  EXPECT_EQ(f.blocks[0].payload, f.body.get() + 4 + 5);
  // Header 0xA1: type 1, flags 5.
  EXPECT_EQ(f.blocks[1].type, 1);
  EXPECT_EQ(f.blocks[1].flags, 5);
  EXPECT_EQ(f.blocks[1].address, 0x400u);
  // An unused type is carried as it is, without an address.
  EXPECT_EQ(f.blocks[2].type, 3);
  EXPECT_EQ(payloadOf(f.blocks[2]), birdgen::text("kept"));
  EXPECT_EQ(f.blocks[3].address, 0u);
  EXPECT_EQ(payloadOf(f.blocks[3]), birdgen::be32(0x20000400));

  EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
  EXPECT_TRUE(f.FindBlocks(BirdFile::BLOCK_DESCRIPTOR).empty());
  EXPECT_FALSE(f.hasSerialOffsets);
}

// ---------------------------------------------------------------- scan

TEST(BirdFileScan, CountMismatchIsLoggedAndStillLoads) {
  char* text = nullptr;
  size_t textSize = 0;
  FILE* out = open_memstream(&text, &textSize);
  Log::SetOutput(out);
  Log::ActivatePackage(DEBUG_BirdFile);

  Container c;
  c.blocks = {birdgen::firmware(0, birdgen::pattern(8, 1)), birdgen::firmware(0x100, birdgen::pattern(8, 2))};
  c.declaredCount = 3;
  const Bytes body = birdgen::body(c);
  BirdFile f;
  EXPECT_FALSE(f.ScanBlocks(body.data(), uint32_t(body.size())));
  EXPECT_TRUE(loadBody(f, body));
  EXPECT_EQ(f.blockCount, 2u);

  c.declaredCount = 0xFFFFFFFF;
  EXPECT_TRUE(loadBody(f, birdgen::body(c)));
  EXPECT_EQ(f.blockCount, 2u);

  Log::SetOutput(nullptr);
  std::fclose(out);
  const std::string logged(text, textSize);
  std::free(text);
  EXPECT_NE(logged.find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"), std::string::npos);
  EXPECT_NE(logged.find("BIRDFILE:\t\t 01   00   12\n"), std::string::npos);
}

struct ScanCase {
  const char* shows;
  Bytes body;
  bool loads;
};

Container withLength(Container c, size_t block, uint32_t length) {
  c.blocks[block].lengthField = length;
  return c;
}

std::vector<ScanCase> scanCases() {
  using namespace birdgen;
  Container one;
  one.blocks = {firmware(0, pattern(16, 3))};  // payload 20 bytes
  Container two;
  two.blocks = {firmware(0, pattern(16, 3)), loader(0x100, pattern(8, 4))};
  Container noChecksum = two;
  noChecksum.omitChecksum = true;
  Container trailer = two;
  trailer.bodyTrailer = text("xyz");
  Bytes cutChecksum = body(two);
  cutChecksum.resize(cutChecksum.size() - 2);

  auto typed = [](uint8_t type, size_t length) {
    Container c;
    c.blocks = {raw(type, pattern(length, 5))};
    return body(c);
  };
  auto zeroBlocks = [](size_t count) {
    Container c;
    c.blocks.assign(count, raw(0x03, Bytes()));
    return body(c);
  };

  return {
      {"empty body", Bytes(), false},
      {"3 bytes", Bytes{0, 0, 0}, false},
      {"count only", be32(0), false},
      {"7 bytes", Bytes{0, 0, 0, 0, 1, 2, 3}, false},
      {"8 bytes: no blocks, count and checksum", Bytes{0, 0, 0, 0, 1, 2, 3, 4}, true},
      {"length 0xFFFFFFFF", body(withLength(one, 0, 0xFFFFFFFF)), false},
      {"length whose header sum wraps 32 bits to 0", body(withLength(one, 0, 0xFFFFFFFB)), false},
      {"length whose checksum sum wraps 32 bits to 0", body(withLength(one, 0, 0xFFFFFFF7)), false},
      {"second block's length wraps", body(withLength(two, 1, 0xFFFFFFFC)), false},
      {"block runs past the end", body(withLength(one, 0, 200)), false},
      {"block eats the checksum", body(withLength(one, 0, 24)), false},
      {"block leaves 3 bytes for the checksum", body(withLength(one, 0, 21)), false},
      {"last block ends at the body's end", body(noChecksum), false},
      {"checksum cut short", cutChecksum, false},
      {"bytes after the checksum", body(trailer), false},
      {"loader of 3 bytes", typed(kTypeLoader, 3), false},
      {"loader of 4 bytes", typed(kTypeLoader, 4), true},
      {"firmware of 0 bytes", typed(kTypeFirmware, 0), false},
      {"firmware of 4 bytes", typed(kTypeFirmware, 4), true},
      {"serial offsets of 7 bytes", typed(kTypeSerialOffsets, 7), false},
      {"serial offsets of 8 bytes", typed(kTypeSerialOffsets, 8), true},
      {"descriptor of 63 bytes", typed(kTypeDescriptor, 63), false},
      {"descriptor of 64 bytes", typed(kTypeDescriptor, 64), true},
      {"loader start of 3 bytes", typed(kTypeLoaderStart, 3), false},
      {"loader start of 4 bytes", typed(kTypeLoaderStart, 4), true},
      {"unused type of 0 bytes", typed(3, 0), true},
      {"most blocks a body may hold", zeroBlocks(BirdFile::MAX_BLOCKS), true},
      {"one block more", zeroBlocks(BirdFile::MAX_BLOCKS + 1), false},
  };
}

TEST(BirdFileScan, HostileBodiesFailCleanly) {
  testsupport::TempDir dir;
  for (const ScanCase& c : scanCases()) {
    SCOPED_TRACE(c.shows);
    // Straight from memory: the body buffer is exactly as long as the body,
    // so a read past it is a sanitizer report.
    BirdFile f;
    EXPECT_EQ(loadBody(f, c.body), c.loads);
    if (!c.loads) expectEmpty(f);

    // And the same body through a whole file, stored so that the 8x
    // inflate limit does not decide first.
    Container wrapped;
    wrapped.rawBody = c.body;
    wrapped.compressionLevel = 0;
    f.path = writeContainer(dir, "scan.bird", wrapped);
    EXPECT_EQ(f.Load(), c.loads);
    if (!c.loads) expectEmpty(f);
  }
}

TEST(BirdFileScan, RefusedBodyLeavesNoBlocksFromAnEarlierScan) {
  Container c;
  c.blocks = {birdgen::firmware(0, birdgen::pattern(8, 1))};
  const Bytes good = birdgen::body(c);
  BirdFile f;
  ASSERT_TRUE(f.ScanBlocks(good.data(), uint32_t(good.size())));
  ASSERT_EQ(f.blocks.size(), 1u);
  c.blocks[0].lengthField = 0xFFFFFFFF;
  const Bytes bad = birdgen::body(c);
  EXPECT_FALSE(f.ScanBlocks(bad.data(), uint32_t(bad.size())));
  EXPECT_TRUE(f.blocks.empty());
  EXPECT_EQ(f.blockCount, 0u);
}

TEST(BirdFileScan, EverySeedOfTheCorpusLoadsAsItsShapeSays) {
  for (const auto& [name, container] : birdgen::seedContainers()) {
    SCOPED_TRACE(name);
    const bool malformed =
        name == "length_wrap" || name == "length_past_checksum" || name == "short_descriptor" || name == "body_trailer";
    const Bytes file = birdgen::file(container);
    BirdFile f;
    EXPECT_EQ(f.LoadData(file.data(), file.size()), !malformed);
  }
}

// ---------------------------------------------------------------- serial patching

constexpr uint32_t kBase = 0x1000;
constexpr size_t kImage = 64;  // device addresses kBase to kBase + 63
constexpr uint32_t kSerial = 0x0A1B2C3D;

// A firmware block at kBase of kImage bytes 0xEE, followed by a second block,
// so a write past the first image would show in the second block's header.
Container patchContainer(uint32_t serialOffset, uint32_t descriptorOffset) {
  Container c;
  c.blocks = {birdgen::firmware(kBase, birdgen::fill(kImage, 0xEE)), birdgen::loader(0, birdgen::fill(4, 0x77)),
              birdgen::serialOffsets(serialOffset, descriptorOffset)};
  return c;
}

Bytes serialLE() { return Bytes{0x3D, 0x2C, 0x1B, 0x0A}; }

Bytes imageWithSerialAt(size_t at) {
  Bytes image = birdgen::fill(kImage, 0xEE);
  const Bytes s = serialLE();
  std::copy(s.begin(), s.end(), image.begin() + long(at));
  return image;
}

Bytes imageWithTextAt(size_t at) {
  Bytes image = birdgen::fill(kImage, 0xEE);
  const char* digits = "0A1B2C3D";
  for (size_t i = 0; i < 8; ++i) image[at + 2 * i] = uint8_t(digits[i]);
  return image;
}

struct PatchCase {
  const char* shows;
  uint32_t serialOffset;
  uint32_t descriptorOffset;
  bool result;
  Bytes image;  // the first firmware image afterwards
};

std::vector<PatchCase> patchCases() {
  const Bytes untouched = birdgen::fill(kImage, 0xEE);
  return {
      {"serial at the image's first byte", kBase, 0, true, imageWithSerialAt(0)},
      {"serial inside", kBase + 10, 0, true, imageWithSerialAt(10)},
      {"serial in the last 4 bytes", kBase + kImage - 4, 0, true, imageWithSerialAt(kImage - 4)},
      {"serial one byte past the end", kBase + kImage - 3, 0, false, untouched},
      {"serial one byte below the start", kBase - 1, 0, false, untouched},
      {"serial far outside", 0x00800000, 0, false, untouched},
      {"serial offset that wraps 32 bits", 0xFFFFFFFE, 0, false, untouched},
      {"text at the first byte", 0, kBase, true, imageWithTextAt(0)},
      {"text in the last 16 bytes", 0, kBase + kImage - 16, true, imageWithTextAt(kImage - 16)},
      {"text one byte past the end", 0, kBase + kImage - 15, false, untouched},
      {"text one byte below the start", 0, kBase - 1, false, untouched},
      {"text offset that wraps 32 bits", 0, 0xFFFFFFF8, false, untouched},
      {"serial written, text outside: the placeholder text stays", kBase, kBase + kImage, false,
       imageWithSerialAt(0)},
      {"text written, serial outside", kBase + kImage, kBase, false, imageWithTextAt(0)},
      {"no offsets at all", 0, 0, false, untouched},
  };
}

TEST(BirdFilePatch, BoundsOfOneBlock) {
  for (const PatchCase& c : patchCases()) {
    SCOPED_TRACE(c.shows);
    const Container container = patchContainer(c.serialOffset, c.descriptorOffset);
    BirdFile f;
    ASSERT_TRUE(loadBody(f, birdgen::body(container)));
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialOffset, c.serialOffset);
    EXPECT_EQ(f.descriptorOffset, c.descriptorOffset);
    EXPECT_EQ(f.ReplaceSerialNumber(kSerial), c.result);

    Bytes expected = birdgen::body(container);
    const size_t imageStart = 4 + 5 + 4;
    std::copy(c.image.begin(), c.image.end(), expected.begin() + long(imageStart));
    EXPECT_EQ(Bytes(f.body.get(), f.body.get() + f.bodySize), expected);
  }
}

TEST(BirdFilePatch, OffsetsNearTheTopOfTheAddressSpace) {
  // The image covers 0xFFFFFF00 to 0xFFFFFFFF, so S + 4 and D + 16 of its
  // last bytes do not fit 32 bits.
  const Bytes untouched = birdgen::fill(256, 0xEE);
  Bytes serialAtEnd = untouched;
  const Bytes serial = serialLE();
  std::copy(serial.begin(), serial.end(), serialAtEnd.end() - 4);
  Bytes textAtEnd = untouched;
  for (size_t i = 0; i < 8; ++i) textAtEnd[240 + 2 * i] = uint8_t("0A1B2C3D"[i]);
  const std::vector<PatchCase> cases = {
      {"serial in the last 4 bytes", 0xFFFFFFFC, 0, true, serialAtEnd},
      {"serial one byte further", 0xFFFFFFFD, 0, false, untouched},
      {"text in the last 16 bytes", 0, 0xFFFFFFF0, true, textAtEnd},
      {"text one byte further", 0, 0xFFFFFFF1, false, untouched},
  };
  for (const PatchCase& c : cases) {
    SCOPED_TRACE(c.shows);
    Container container;
    container.blocks = {birdgen::firmware(0xFFFFFF00, untouched),
                        birdgen::serialOffsets(c.serialOffset, c.descriptorOffset)};
    BirdFile f;
    ASSERT_TRUE(loadBody(f, birdgen::body(container)));
    EXPECT_EQ(f.ReplaceSerialNumber(kSerial), c.result);
    Bytes expected = birdgen::body(container);
    std::copy(c.image.begin(), c.image.end(), expected.begin() + 4 + 5 + 4);
    EXPECT_EQ(Bytes(f.body.get(), f.body.get() + f.bodySize), expected);
  }
}

TEST(BirdFilePatch, SerialAndTextInDifferentBlocks) {
  // Three firmware images; the serial lies in the second, the text in the
  // third, and the high bytes of the text keep their values.
  Bytes text(16);
  for (size_t i = 0; i < 16; ++i) text[i] = uint8_t(i % 2 ? 0x00 : 'x');
  text[1] = 0x12;
  Container c;
  c.blocks = {birdgen::firmware(0x0000, birdgen::fill(32, 0xAA)), birdgen::firmware(0x4000, birdgen::fill(32, 0xBB)),
              birdgen::firmware(0x8000, text), birdgen::serialOffsets(0x4008, 0x8000)};
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  EXPECT_TRUE(f.ReplaceSerialNumber(0x00C0FFEE));

  const auto blocks = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(Bytes(blocks[0].payload + 4, blocks[0].payload + blocks[0].length), birdgen::fill(32, 0xAA));
  Bytes second = birdgen::fill(32, 0xBB);
  second[8] = 0xEE;
  second[9] = 0xFF;
  second[10] = 0xC0;
  second[11] = 0x00;
  EXPECT_EQ(Bytes(blocks[1].payload + 4, blocks[1].payload + blocks[1].length), second);
  const Bytes third(blocks[2].payload + 4, blocks[2].payload + blocks[2].length);
  EXPECT_EQ(third, (Bytes{'0', 0x12, '0', 0, 'C', 0, '0', 0, 'F', 0, 'F', 0, 'E', 0, 'E', 0}));
}

TEST(BirdFilePatch, NoFirmwareBlockMeansNoSuccess) {
  Container c;
  c.blocks = {birdgen::loader(0x1000, birdgen::fill(32, 0)), birdgen::serialOffsets(0x1000, 0)};
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  EXPECT_FALSE(f.ReplaceSerialNumber(kSerial));
  EXPECT_EQ(payloadOf(f.FindBlocks(BirdFile::BLOCK_LOADER)[0]), [] {
    Bytes b = birdgen::be32(0x1000);
    b.resize(36, 0);
    return b;
  }());
}

// ---------------------------------------------------------------- descrambling

TEST(BirdFileDescramble, KeyBytesAndChainingRestartPerBlock) {
  // Stored bytes all zero: each plain byte is key[k] ^ previous plain byte,
  // worked out by hand from key bytes 11 22 .. FF 5A (word 0's top byte first,
  // word 3's bottom byte last).
  const uint32_t key[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF5A};
  Container c;
  c.blocks = {birdgen::firmware(0x0000ABCD, birdgen::fill(17, 0)), birdgen::loader(0, birdgen::fill(4, 0)),
              birdgen::firmware(0x2000, birdgen::fill(3, 0))};
  c.checksum = 0x01020304;
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  ASSERT_TRUE(f.DecodeFirmwareBlocks(key));

  Bytes expected = birdgen::body(c);
  const Bytes first = {0x11, 0x33, 0x00, 0x44, 0x11, 0x77, 0x00, 0x88, 0x11,
                       0xBB, 0x00, 0xCC, 0x11, 0xFF, 0x00, 0x5A, 0x4B};
  const Bytes second = {0x11, 0x33, 0x00};
  std::copy(first.begin(), first.end(), expected.begin() + 4 + 5 + 4);
  std::copy(second.begin(), second.end(), expected.end() - 4 - 3);
  // Address bytes, the loader, the next block's header and the checksum stay.
  EXPECT_EQ(Bytes(f.body.get(), f.body.get() + f.bodySize), expected);
  EXPECT_FALSE(f.DecodeFirmwareBlocks(nullptr));
}

TEST(BirdFileDescramble, RoundTripWithTheGeneratorsScrambler) {
  const birdgen::Fingerprint fp{{0x8F3A0011, 0x12345678, 0xCAFEBABE, 0x0BADF00D}};
  const Bytes image1 = birdgen::pattern(1000, 21);
  const Bytes image2 = birdgen::pattern(37, 22);
  const Bytes loaderImage = birdgen::pattern(64, 23);
  Container c;
  c.blocks = {birdgen::loader(0x10000000, loaderImage), birdgen::firmware(0, image1),
              birdgen::firmware(0x8000, image2)};
  c.scrambleKey = fp;

  testsupport::TempDir dir;
  BirdFile f(writeContainer(dir, "recovery.bird", c).c_str());
  auto image = [](const BirdBlock& b) { return Bytes(b.payload + 4, b.payload + b.length); };
  ASSERT_NE(image(f.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]), image1);
  const uint32_t key[4] = {fp[0], fp[1], fp[2], fp[3]};
  ASSERT_TRUE(f.DecodeFirmwareBlocks(key));
  const auto firmware = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(image(firmware[0]), image1);
  EXPECT_EQ(image(firmware[1]), image2);
  EXPECT_EQ(firmware[1].address, 0x8000u);
  EXPECT_EQ(image(f.FindBlocks(BirdFile::BLOCK_LOADER)[0]), loaderImage);
}

// ---------------------------------------------------------------- descriptor

Bytes descriptorBody(const Bytes& fields64) {
  Container c;
  c.blocks = {birdgen::raw(birdgen::kTypeDescriptor, fields64)};
  return birdgen::body(c);
}

Bytes fields(const std::string& build, const std::string& version, const std::string& serial,
             const std::string& reserved, const std::string& model) {
  Bytes out;
  for (const std::string* s : {&build, &version, &serial, &reserved, &model}) out.insert(out.end(), s->begin(), s->end());
  EXPECT_EQ(out.size(), 64u);
  return out;
}

TEST(BirdFileDescriptor, EachGetterReadsOnlyItsOwnField) {
  // Every field is full to its last byte and the next field starts with
  // digits, so a reader that runs on shows.
  BirdFile f;
  ASSERT_TRUE(loadBody(f, descriptorBody(fields("0000000000047119", "ABCDEFGHIJKLMNOP", "0000ABCD", "12345678",
                                                "TSR-2000-EXTENDE"))));
  EXPECT_EQ(f.GetBuild(), 4711u);
  EXPECT_EQ(f.GetVersion(), "ABCDEFGHIJKLMNO");
  EXPECT_EQ(f.GetSerialNumber(), 0x0000ABCDu);
  EXPECT_TRUE(f.ValidateSerialNumber(0x0000ABCD));
  EXPECT_FALSE(f.ValidateSerialNumber(0x12345678));
  EXPECT_TRUE(f.ValidateModel("TSR-2000-EXTENDE"));
  EXPECT_TRUE(f.ValidateModel("TSR-2000"));  // a field that begins with the name matches
  EXPECT_FALSE(f.ValidateModel("TSR-2000-EXTENDED"));
  EXPECT_FALSE(f.ValidateModel("TSR-2000-EXTENDED-AND-THEN-SOME"));
}

TEST(BirdFileDescriptor, TextFieldsEndWhereTheyShould) {
  struct Case {
    const char* shows;
    Bytes fields;
    uint32_t build;
    std::string version;
    uint32_t serial;
  };
  auto z = [](const std::string& s, size_t width) { return s + std::string(width - s.size(), '\0'); };
  const std::vector<Case> cases = {
      {"version text, a space and more words", fields(z("17", 16), z("2.3.1 beta 4", 16), "DEADBEEF", z("", 8),
                                                      "TSR             "),
       17, "2.3.1", 0xDEADBEEF},
      {"build stops at its first non-digit", fields(z("123x456", 16), z("1.0", 16), "0000000F", "ABCDEF12",
                                                    "TSR             "),
       123, "1.0", 0xF},
      {"serial stops at its first non-hex digit", fields(z("", 16), z("", 16), "12G45678", "90ABCDEF",
                                                         "TSR             "),
       0, "", 0x12},
      {"build of 15 digits beyond 32 bits reads as 0", fields("999999999999999" + std::string(1, '\0'), z("", 16),
                                                              "00000001", z("", 8), "TSR             "),
       0, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shows);
    BirdFile f;
    ASSERT_TRUE(loadBody(f, descriptorBody(c.fields)));
    EXPECT_EQ(f.GetBuild(), c.build);
    EXPECT_EQ(f.GetVersion(), c.version);
    EXPECT_EQ(f.GetSerialNumber(), c.serial);
  }
}

TEST(BirdFileDescriptor, ModelNameMatching) {
  BirdFile f;
  ASSERT_TRUE(loadBody(f, descriptorBody(fields(std::string(16, '\0'), std::string(16, '\0'), "00000000",
                                                std::string(8, '\0'), "TSR-2000        "))));
  EXPECT_TRUE(f.ValidateModel("TSR-2000"));
  EXPECT_TRUE(f.ValidateModel("TSR"));
  EXPECT_FALSE(f.ValidateModel("TSR-2000 "));  // the padding is not part of the name
  EXPECT_FALSE(f.ValidateModel("TSR-3000"));
  EXPECT_FALSE(f.ValidateModel(""));
  EXPECT_FALSE(f.ValidateModel(nullptr));
}

TEST(BirdFileDescriptor, OnlyTheFirstDescriptorCountsAndNoneGivesZero) {
  Container c;
  c.blocks = {birdgen::descriptor({"100", "1.0", "00000001", "", "FIRST"}),
              birdgen::descriptor({"200", "2.0", "00000002", "", "SECOND"})};
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  EXPECT_EQ(f.GetBuild(), 100u);
  EXPECT_EQ(f.GetVersion(), "1.0");
  EXPECT_EQ(f.GetSerialNumber(), 1u);
  EXPECT_TRUE(f.ValidateModel("FIRST"));
  EXPECT_FALSE(f.ValidateModel("SECOND"));

  ASSERT_TRUE(loadBody(f, birdgen::body(simpleContainer())));
  EXPECT_EQ(f.GetBuild(), 0u);
  EXPECT_EQ(f.GetVersion(), "");
  EXPECT_EQ(f.GetSerialNumber(), 0u);
  EXPECT_TRUE(f.ValidateSerialNumber(0));
  EXPECT_FALSE(f.ValidateModel("FIRST"));
}

// ---------------------------------------------------------------- lifetime

static_assert(!std::is_copy_constructible<BirdFile>::value, "BirdFile is move-only");
static_assert(!std::is_copy_assignable<BirdFile>::value, "BirdFile is move-only");
static_assert(std::is_nothrow_move_constructible<BirdFile>::value, "");
static_assert(std::is_nothrow_move_assignable<BirdFile>::value, "");

Container genericContainer() {
  Container c;
  c.blocks = {birdgen::firmware(0x1000, birdgen::fill(64, 0xEE)), birdgen::serialOffsets(0x1010, 0x1020),
              birdgen::descriptor({"9", "9.9", "00000000", "", "GENERIC"})};
  return c;
}

TEST(BirdFileLifetime, MoveCarriesTheBodyAndEmptiesTheSource) {
  testsupport::TempDir dir;
  const std::string path = writeContainer(dir, "generic.bird", genericContainer());
  BirdFile a(path.c_str());
  const unsigned char* bodyBytes = a.body.get();

  BirdFile b(std::move(a));
  EXPECT_EQ(b.body.get(), bodyBytes);
  EXPECT_EQ(b.blocks[0].payload, bodyBytes + 4 + 5);
  EXPECT_EQ(b.path, path);
  EXPECT_TRUE(b.hasSerialOffsets);
  EXPECT_EQ(b.serialOffset, 0x1010u);
  EXPECT_TRUE(b.ValidateModel("GENERIC"));
  EXPECT_TRUE(a.path.empty());
  expectEmpty(a);

  BirdFile c;
  c = std::move(b);
  EXPECT_EQ(c.blocks[0].payload, bodyBytes + 4 + 5);
  EXPECT_TRUE(c.ReplaceSerialNumber(0x1234ABCD));
  expectEmpty(b);

  BirdFile d(writeContainer(dir, "plain.bird", simpleContainer()).c_str());
  d = std::move(c);  // d's own body goes; c's arrives
  EXPECT_EQ(d.body.get(), bodyBytes);
  EXPECT_EQ(d.GetBuild(), 9u);
}

TEST(BirdFileLifetime, SecondLoadResetsAllParsedState) {
  testsupport::TempDir dir;
  const std::string generic = writeContainer(dir, "generic.bird", genericContainer());
  const std::string plain = writeContainer(dir, "plain.bird", simpleContainer());

  BirdFile f(generic.c_str());
  ASSERT_EQ(f.blockCount, 3u);
  f.path = plain;
  ASSERT_TRUE(f.Load());
  EXPECT_EQ(f.blockCount, 1u);
  ASSERT_EQ(f.blocks.size(), 1u);
  EXPECT_FALSE(f.hasSerialOffsets);
  EXPECT_EQ(f.serialOffset, 0u);
  EXPECT_EQ(f.descriptorOffset, 0u);
  EXPECT_EQ(f.GetBuild(), 0u);
  // Every block points into the current body.
  EXPECT_EQ(f.blocks[0].payload, f.body.get() + 4 + 5);
  EXPECT_EQ(payloadOf(f.blocks[0]).size(), 36u);
  EXPECT_FALSE(f.ReplaceSerialNumber(1));

  // Inflating a new body alone drops the blocks of the old one.
  f.path = generic;
  ASSERT_TRUE(f.Load());
  const Bytes stream = birdgen::deflate(birdgen::body(simpleContainer()), 6);
  ASSERT_TRUE(f.DecompressData(stream.data(), stream.size()));
  EXPECT_TRUE(f.blocks.empty());
  EXPECT_FALSE(f.hasSerialOffsets);
  EXPECT_EQ(f.serialOffset, 0u);

  ASSERT_TRUE(f.Load());
  f.path = dir.file("missing.bird");
  EXPECT_FALSE(f.Load());
  expectEmpty(f);
  EXPECT_EQ(f.signature, 0u);
  EXPECT_EQ(f.version, 0u);
  EXPECT_EQ(f.checksum, 0u);
}

// ---------------------------------------------------------------- the rest

TEST(BirdFileData, PatternSearchCoversTheWholePayload) {
  Container c;
  c.blocks = {birdgen::firmware(0x00000000, birdgen::text("headMIDDLEtail")), birdgen::loader(0, birdgen::text("only"))};
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  auto found = [&](const std::string& s) { return f.ValidateData(reinterpret_cast<const unsigned char*>(s.data()), uint32_t(s.size())); };
  EXPECT_TRUE(found("MIDDLE"));
  EXPECT_TRUE(found("tail"));  // ends at the payload's last byte
  EXPECT_TRUE(found(std::string(4, '\0') + "headMIDDLEtail"));  // the whole payload, address included
  EXPECT_FALSE(found(std::string(4, '\0') + "headMIDDLEtail!"));
  EXPECT_FALSE(found("only"));  // loader blocks are not searched
  EXPECT_FALSE(found(""));
}

TEST(BirdFileData, VectorChecksumBalancesTheFirstSevenWords) {
  Bytes image;
  for (uint32_t w : {0x10001000u, 0x00000101u, 0x00000201u, 0x00000301u, 0x00000401u, 0x00000501u, 0x00000601u,
                     0x55555555u, 0xAAAAAAAAu}) {
    for (int b = 0; b < 4; ++b) image.push_back(uint8_t(w >> (8 * b)));
  }
  Container c;
  c.blocks = {birdgen::firmware(0, image), birdgen::firmware(0x4000, image)};
  BirdFile f;
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  EXPECT_TRUE(f.ReplaceVectorChecksum());
  const auto blocks = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  // Sum of words 0 to 6 is 0x10002506; its two's complement is 0xEFFFDAFA.
  EXPECT_EQ(Bytes(blocks[0].payload + 32, blocks[0].payload + 40), (Bytes{0xFA, 0xDA, 0xFF, 0xEF, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(Bytes(blocks[1].payload + 4, blocks[1].payload + blocks[1].length), image);  // not at address 0
}

TEST(BirdFileData, DumpBlocksPrintsHexAndText) {
  Container c;
  c.blocks = {birdgen::raw(birdgen::kTypeLoaderStart, Bytes{'A', 'B', 0x0A, 0xFF})};
  BirdFile f;
  f.path = "x.bird";
  ASSERT_TRUE(loadBody(f, birdgen::body(c)));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(f.DumpBlocks(BirdFile::BLOCK_LOADER_START));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 41 42 0A FF  AB  \n\n");
}

#ifdef BIRDGEN_PATH
TEST(BirdGenCommandLine, WritesWhatItIsAskedFor) {
  testsupport::TempDir dir;
  const std::string out = dir.file("cli.bird");
  const std::string command = std::string(BIRDGEN_PATH) +
                              " --loader 0x20000000 pattern:40 --flags 2 --firmware 0x1000 fill:64:0xEE"
                              " --serial-offsets 0x1010 0x1020 --descriptor 4711 '1.2 beta' 0000ABCD TSR-2000"
                              " --loader-start 0x20000400 --count 9 --level 9 -o '" + out + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  BirdFile f(out.c_str());
  EXPECT_EQ(f.blockCount, 5u);
  EXPECT_EQ(f.blocks[0].flags, 2);
  EXPECT_EQ(f.blocks[0].address, 0x20000000u);
  EXPECT_EQ(f.GetBuild(), 4711u);
  EXPECT_EQ(f.GetVersion(), "1.2");
  EXPECT_TRUE(f.ValidateModel("TSR-2000"));
  EXPECT_TRUE(f.ReplaceSerialNumber(0x1234));

  const std::string corpus = dir.file("corpus");
  ASSERT_EQ(std::system((std::string(BIRDGEN_PATH) + " --seed-corpus '" + corpus + "'").c_str()), 0);
  EXPECT_TRUE(BirdFile::VerifyFile((corpus + "/fuzz_bird_file/update.bird").c_str()));
  EXPECT_FALSE(testsupport::readFile(corpus + "/fuzz_bird_body/update.body").empty());

  EXPECT_NE(std::system((std::string(BIRDGEN_PATH) + " --firmware 1 2>/dev/null").c_str()), 0);
}
#endif

}  // namespace

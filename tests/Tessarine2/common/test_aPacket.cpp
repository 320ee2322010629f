#include "Tessarine2/common/aPacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

std::vector<uint8_t> wire(const aPacket* p) {
  const uint8_t* bytes = aPacket_WireBytes(p);
  return std::vector<uint8_t>(bytes, bytes + aPacket_WireLength(p));
}

std::vector<uint8_t> counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<uint8_t>(first + i);
  }
  return bytes;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<aErr> repeat(size_t n, aErr e) { return std::vector<aErr>(n, e); }

std::vector<aErr> concat(std::vector<aErr> a, const std::vector<aErr>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct BuildRow {
  const char* shows;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  std::set<size_t> completeAfter;  // byte indexes after which the packet is complete
  uint8_t address;
  uint8_t dataSize;
  uint8_t curSize;
  std::vector<uint8_t> data;  // leading data bytes expected; the rest must stay 0
};

std::vector<BuildRow> buildRows() {
  return {
      {"an empty packet completes on its length byte", {0x10, 0x00}, {0, 0}, {1}, 0x10, 0, 2, {}},
      {"three data bytes complete on the fifth byte", {0x10, 3, 1, 2, 3}, {0, 0, 0, 0, 0}, {4},
       0x10, 3, 5, {1, 2, 3}},
      {"address 0 is refused but counted", {0x00}, {aErrPacket}, {}, 0, 0, 1, {}},
      {"an odd address is refused but counted", {0x11}, {aErrPacket}, {}, 0, 0, 1, {}},
      // Nothing is reset on an error: the refused byte still counts, so
      // completeness means nothing until the caller resets the record.
      {"bytes after a refused address are misframed", {0x11, 0x10, 1, 7},
       {aErrPacket, 0, 0, aErrPacket}, {1, 2}, 0x10, 1, 4, {}},
      {"length 29 is refused yet kept", {0x10, 29}, {0, aErrPacket}, {}, 0x10, 29, 2, {}},
      {"length 28 completes after 30 bytes", concat({0x10, 28}, counting(28, 0xE0)),
       repeat(30, 0), {29}, 0x10, 28, 30, counting(28, 0xE0)},
      {"a 31st byte overruns", concat(concat({0x10, 28}, counting(28)), {0x99}),
       concat(repeat(30, 0), {aErrOverrun}), {29}, 0x10, 28, 31, counting(28)},
      {"a byte past the length is refused and not stored", {0x10, 2, 0xA, 0xB, 0xC},
       {0, 0, 0, 0, aErrPacket}, {3}, 0x10, 2, 5, {0xA, 0xB, 0}},
      {"after a zero length the next byte is taken as the length", {0x10, 0, 1, 9},
       {0, 0, 0, aErrPacket}, {1, 2}, 0x10, 1, 4, {}},
      {"length 29 never completes, even with curSize at 31",
       concat(concat({0x10, 29}, counting(28, 1)), {0x77}),
       concat(concat({0, aErrPacket}, repeat(28, 0)), {aErrOverrun}), {}, 0x10, 29, 31,
       counting(28, 1)},
      {"refused addresses use up the wire length", concat(std::vector<uint8_t>(30, 0x11), {0x10}),
       concat(repeat(30, aErrPacket), {aErrOverrun}), {1}, 0, 0, 31, {}},
  };
}

TEST(PacketBuild, ByteByByte) {
  for (const BuildRow& row : buildRows()) {
    SCOPED_TRACE(row.shows);
    ASSERT_EQ(row.bytes.size(), row.results.size());
    PacketPtr p(aPacket_Create());
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < row.bytes.size(); ++i) {
      SCOPED_TRACE("byte " + std::to_string(i));
      EXPECT_EQ(aPacket_AddByte(p.get(), row.bytes[i]), row.results[i]);
      EXPECT_EQ(aPacket_IsComplete(p.get()), row.completeAfter.count(i) != 0);
    }
    EXPECT_EQ(p->check, aPACKET_CHECK);
    EXPECT_EQ(p->address, row.address);
    EXPECT_EQ(p->dataSize, row.dataSize);
    EXPECT_EQ(p->curSize, row.curSize);
    std::vector<uint8_t> data = row.data;
    data.resize(aPACKET_MAX_DATA, 0);
    EXPECT_EQ(std::vector<uint8_t>(p->data, p->data + aPACKET_MAX_DATA), data);
  }
}

TEST(PacketBuild, CompletePacketsWireFormIsTheBytesReceived) {
  const std::vector<uint8_t> bytes = {0x10, 4, 0x21, 0x42, 0x03, 0xFF};
  PacketPtr p(aPacket_Create());
  for (uint8_t b : bytes) {
    ASSERT_EQ(aPacket_AddByte(p.get(), b), aErrNone);
  }
  ASSERT_TRUE(aPacket_IsComplete(p.get()));
  EXPECT_EQ(wire(p.get()), bytes);
}

TEST(PacketBuild, InvalidRecordIsRefusedUnchanged) {
  aPacket p{};
  p.check = 0xDEAD;
  EXPECT_EQ(aPacket_AddByte(&p, 0x10), aErrParam);
  EXPECT_EQ(p.curSize, 0);
  EXPECT_EQ(p.address, 0);
  EXPECT_EQ(aPacket_AddByte(nullptr, 0x10), aErrParam);
}

// A packet embedded between two guard areas, as a reader keeps one inside
// its own state; any write outside the record shows in the guards.
struct Guarded {
  uint8_t before[256];
  aPacket packet;
  uint8_t after[256];
};

constexpr uint8_t kGuard = 0xA5;

// A reader that keeps feeding bytes after an error must not write outside
// the 28 data bytes, however many bytes come.
TEST(PacketBuild, ThreeHundredBytesAfterAnErrorStayInsideTheRecord) {
  const struct {
    const char* shows;
    std::vector<uint8_t> prefix;
  } rows[] = {
      {"after a refused address", {0x11}},
      {"after a refused length 29", {0x10, 29}},
      {"after a refused length 255", {0x10, 0xFF}},
      {"after a complete 28-byte packet", concat({0x10, 28}, counting(28))},
      {"after a zero length", {0x10, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shows);
    // Byte patterns: counting covers every value; 0xFF and even bytes
    // exercise the length and address paths.
    for (uint8_t fill : {0x00, 0x10, 0xFF, 0x01}) {
      SCOPED_TRACE("fill " + std::to_string(fill));
      Guarded g;
      std::memset(&g, kGuard, sizeof g);
      g.packet = aPacket{aPACKET_CHECK, 0, 0, 0, {0}};
      PacketPtr heap(aPacket_Create());
      ASSERT_NE(heap, nullptr);

      for (uint8_t b : row.prefix) {
        aPacket_AddByte(&g.packet, b);
        aPacket_AddByte(heap.get(), b);
      }
      int firstMisread = -1;  // first byte past the wire length not reported as overrun
      uint8_t largestCurSize = 0;
      for (int i = 0; i < 300; ++i) {
        uint8_t b = fill == 0x01 ? static_cast<uint8_t>(i) : fill;
        aErr a = aPacket_AddByte(&g.packet, b);
        aPacket_AddByte(heap.get(), b);
        if (row.prefix.size() + i >= aPACKET_MAX_WIRE && a != aErrOverrun && firstMisread < 0) {
          firstMisread = i;
        }
        largestCurSize = std::max(largestCurSize, g.packet.curSize);
      }
      EXPECT_EQ(firstMisread, -1);
      EXPECT_LE(largestCurSize, aPACKET_MAX_WIRE + 1);
      EXPECT_EQ(g.packet.check, aPACKET_CHECK);
      EXPECT_FALSE(aPacket_IsComplete(&g.packet));
      for (size_t i = 0; i < sizeof g.before; ++i) {
        ASSERT_EQ(g.before[i], kGuard) << "before[" << i << "]";
      }
      for (size_t i = 0; i < sizeof g.after; ++i) {
        ASSERT_EQ(g.after[i], kGuard) << "after[" << i << "]";
      }

      // A reset record builds the next packet normally.
      ASSERT_EQ(aPacket_Reset(&g.packet), aErrNone);
      for (uint8_t b : {0x20, 1, 0x42}) {
        ASSERT_EQ(aPacket_AddByte(&g.packet, b), aErrNone);
      }
      EXPECT_TRUE(aPacket_IsComplete(&g.packet));
      EXPECT_EQ(wire(&g.packet), (std::vector<uint8_t>{0x20, 1, 0x42}));
    }
  }
}

TEST(PacketCreate, FreshRecordIsTheTemplate) {
  PacketPtr p(aPacket_Create());
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(aVALIDPACKET(p.get()));
  EXPECT_EQ(p->check, 0xBEEF);
  EXPECT_EQ(p->curSize, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->dataSize, 0);
  EXPECT_EQ(std::vector<uint8_t>(p->data, p->data + aPACKET_MAX_DATA),
            std::vector<uint8_t>(aPACKET_MAX_DATA, 0));
  EXPECT_FALSE(aPacket_IsComplete(p.get()));
}

TEST(PacketCreate, WithData) {
  const std::vector<uint8_t> source = counting(40, 0x80);  // longer than any packet
  const struct {
    const char* shows;
    uint8_t address;
    uint8_t length;
    const uint8_t* data;
    bool created;
  } rows[] = {
      {"three bytes", 0x10, 3, source.data(), true},
      {"no data", 0x10, 0, source.data(), true},
      {"28 bytes, the most", 0x12, 28, source.data(), true},
      {"29 bytes is too many", 0x12, 29, source.data(), false},
      {"255 bytes is too many", 0x12, 255, source.data(), false},
      {"address 0 is not checked", 0x00, 2, source.data(), true},
      {"an odd address is not checked", 0x11, 2, source.data(), true},
      {"null data", 0x10, 3, nullptr, false},
      {"null data even without length", 0x10, 0, nullptr, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shows);
    PacketPtr p(aPacket_CreateWithData(row.address, row.length, row.data));
    if (!row.created) {
      EXPECT_EQ(p, nullptr);
      continue;
    }
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(aVALIDPACKET(p.get()));
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->curSize, row.length + 2);
    std::vector<uint8_t> expected = {row.address, row.length};
    expected.insert(expected.end(), source.begin(), source.begin() + row.length);
    EXPECT_EQ(wire(p.get()), expected);
    for (size_t i = row.length; i < aPACKET_MAX_DATA; ++i) {
      EXPECT_EQ(p->data[i], 0) << "data[" << i << "]";
    }
  }
}

TEST(PacketCopy, IsAnIndependentCompletePacket) {
  PacketPtr original(aPacket_Create());
  for (uint8_t b : {0x10, 3, 7}) {  // still being built: two data bytes missing
    ASSERT_EQ(aPacket_AddByte(original.get(), b), aErrNone);
  }
  PacketPtr copy(aPacket_Copy(original.get()));
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy.get(), original.get());
  EXPECT_TRUE(aPacket_IsComplete(copy.get()));
  EXPECT_EQ(wire(copy.get()), (std::vector<uint8_t>{0x10, 3, 7, 0, 0}));

  original->data[0] = 0x55;
  EXPECT_EQ(copy->data[0], 7);
}

TEST(PacketCopy, RefusesWhatIsNotAPacket) {
  EXPECT_EQ(aPacket_Copy(nullptr), nullptr);

  aPacket invalid{};
  invalid.check = 0;
  invalid.address = 0x10;
  EXPECT_EQ(aPacket_Copy(&invalid), nullptr);

  // A refused length byte is kept in the record; copying it would read past
  // the data.
  PacketPtr badLength(aPacket_Create());
  aPacket_AddByte(badLength.get(), 0x10);
  ASSERT_EQ(aPacket_AddByte(badLength.get(), 200), aErrPacket);
  EXPECT_EQ(aPacket_Copy(badLength.get()), nullptr);
}

TEST(PacketAccessors, CommandOptionIndex) {
  const uint8_t bytes[] = {0xFE, 0xC5, 0xE7};
  using Accessor = aErr (*)(const aPacket*, uint8_t*);
  const struct {
    const char* name;
    Accessor get;
    size_t needs;  // data bytes needed
    uint8_t value;
  } accessors[] = {
      {"cmd", aPacket_GetCmd, 1, 0xFE},
      {"option", aPacket_GetOption, 2, 0x05},  // top two bits masked off
      {"index", aPacket_GetIndex, 3, 0x07},    // top three bits masked off
  };
  for (const auto& a : accessors) {
    SCOPED_TRACE(a.name);
    for (uint8_t length = 0; length <= 3; ++length) {
      SCOPED_TRACE("length " + std::to_string(length));
      PacketPtr p(aPacket_CreateWithData(0x10, length, bytes));
      uint8_t out = 0x99;
      if (length >= a.needs) {
        EXPECT_EQ(a.get(p.get(), &out), aErrNone);
        EXPECT_EQ(out, a.value);
      } else {
        EXPECT_EQ(a.get(p.get(), &out), aErrPacket);
        EXPECT_EQ(out, 0x99);
      }
      EXPECT_EQ(a.get(p.get(), nullptr), aErrParam);
    }
    uint8_t out = 0x99;
    EXPECT_EQ(a.get(nullptr, &out), aErrPacket);
    PacketPtr invalid(aPacket_CreateWithData(0x10, 3, bytes));
    invalid->check = 0;
    EXPECT_EQ(a.get(invalid.get(), &out), aErrPacket);
    EXPECT_EQ(out, 0x99);
  }
}

TEST(PacketReset, ClearsAllButTheCheckWord) {
  PacketPtr p(aPacket_CreateWithData(0x10, 28, counting(28, 1).data()));
  ASSERT_EQ(aPacket_Reset(p.get()), aErrNone);
  EXPECT_EQ(p->check, aPACKET_CHECK);
  EXPECT_EQ(p->curSize, 0);
  EXPECT_EQ(p->address, 0);
  EXPECT_EQ(p->dataSize, 0);
  EXPECT_EQ(std::vector<uint8_t>(p->data, p->data + aPACKET_MAX_DATA),
            std::vector<uint8_t>(aPACKET_MAX_DATA, 0));

  EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
  p->check = 0;
  p->address = 0x10;
  EXPECT_EQ(aPacket_Reset(p.get()), aErrParam);
  EXPECT_EQ(p->address, 0x10);
}

TEST(PacketIsComplete, NullAndInvalidAreNeverComplete) {
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
  PacketPtr p(aPacket_CreateWithData(0x10, 0, counting(1).data()));
  ASSERT_TRUE(aPacket_IsComplete(p.get()));
  p->check = 0;
  EXPECT_FALSE(aPacket_IsComplete(p.get()));
}

TEST(PacketDestroy, FreesAndClearsThePointer) {
  aPacket* p = aPacket_Create();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

}  // namespace

#include <gtest/gtest.h>

#include "raid/MftRecord.h"
#include "tests/raid/MftRecordBuilder.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

bool Check(MftBlock& block) { return CheckFileRecord(std::span<uint8_t, kMftRecordSize>(block)); }

}  // namespace

TEST(FileRecordCheck, AcceptsARecordAndAppliesTheFixupsInPlace) {
  MftBlock block = MakeFileRecord(4711);
  ASSERT_TRUE(Check(block));
  EXPECT_EQ(FileRecordNumber(block), 4711u);
  EXPECT_EQ(block[510] | block[511] << 8, 0xA1B2);
  EXPECT_EQ(block[1022] | block[1023] << 8, 0xC3D4);

  MftBlock older = MakeFileRecord(5, {0x10, 0x30, 0xA0}, 0x2A);  // the older header layout
  EXPECT_TRUE(Check(older));
}

TEST(FileRecordCheck, UpdateSequenceMustMatchBothSectorEnds) {
  for (size_t end : {510u, 1022u}) {
    MftBlock block = MakeFileRecord(1);
    block[end] ^= 0x01;
    EXPECT_FALSE(Check(block)) << end;
  }
  MftBlock badOffset = MakeFileRecord(1);
  badOffset[4] = 0x31;
  EXPECT_FALSE(Check(badOffset));
  MftBlock notFile = MakeFileRecord(1);
  notFile[0] = 'B';
  EXPECT_FALSE(Check(notFile));
}

TEST(FileRecordCheck, NeedsKnownAttributesAndOneThatCarriesData) {
  MftBlock namesOnly = MakeFileRecord(1, {0x10, 0x30});
  EXPECT_FALSE(Check(namesOnly));
  MftBlock unknownType = MakeFileRecord(1, {0x10, 0x110, 0x80});
  EXPECT_FALSE(Check(unknownType));
  MftBlock noAttributes = MakeFileRecord(1, {});
  EXPECT_FALSE(Check(noAttributes));  // an end marker at the first position
  for (uint32_t data : {0x20u, 0x80u, 0x90u, 0xA0u}) {
    MftBlock block = MakeFileRecord(1, {0x10, data});
    EXPECT_TRUE(Check(block)) << data;
  }
}

TEST(FileRecordCheck, AttributeWalkStaysInsideTheBlock) {
  MftBlock zeroLength = MakeFileRecord(1);
  Put32(zeroLength, 0x38 + 4, 0);
  EXPECT_FALSE(Check(zeroLength));

  MftBlock pastEnd = MakeFileRecord(1);
  Put32(pastEnd, 0x38 + 4, 0x400 - 0x38);  // the next header would start at 1024
  EXPECT_FALSE(Check(pastEnd));

  MftBlock hugeLength = MakeFileRecord(1);
  Put32(hugeLength, 0x38 + 4, 0xFFFFFFF0);
  EXPECT_FALSE(Check(hugeLength));

  MftBlock firstOutside = MakeFileRecord(1);
  Put16(firstOutside, 20, 1024);
  EXPECT_FALSE(Check(firstOutside));

  // A header whose length field would lie beyond the block.
  MftBlock straddling = MakeFileRecord(1);
  Put16(straddling, 20, 1018);
  Put32(straddling, 1018, 0x80);
  EXPECT_FALSE(Check(straddling));
}

// The rescue map: sector areas, the mapfile text and what hostile text is taken as.
#include <gtest/gtest.h>

#include "disk/RescueMap.h"

using namespace brenvik;

namespace {
using A = SectorArea;
constexpr auto kNot = SectorState::NotTried;
constexpr auto kDone = SectorState::Finished;
constexpr auto kBad = SectorState::Bad;
}  // namespace

TEST(RescueMap, AreasSplitJoinAndRoundTripThroughTheMapText) {
  SectorMap map(10, 110);
  map.set(20, 30, kBad);
  map.set(25, 40, kDone);
  map.set(0, 20, kDone);  // clipped to the map
  EXPECT_EQ(map.areas(), (std::vector<A>{{10, 20, kDone}, {20, 25, kBad}, {25, 40, kDone}, {40, 110, kNot}}));
  map.set(20, 25, kDone);  // joins its neighbours
  map.set(60, 61, kBad);
  EXPECT_EQ(map.areas(), (std::vector<A>{{10, 40, kDone}, {40, 60, kNot}, {60, 61, kBad}, {61, 110, kNot}}));
  EXPECT_EQ(map.next(0, kNot), (A{40, 60, kNot}));
  EXPECT_EQ(map.next(50, kNot), (A{50, 60, kNot}));
  EXPECT_EQ(map.next(60, kNot), (A{61, 110, kNot}));
  EXPECT_EQ(map.next(0, kBad), (A{60, 61, kBad}));
  EXPECT_FALSE(map.next(61, kBad).has_value());
  EXPECT_EQ(map.count(kDone), 30);

  // Any bytes in the source's name survive, and positions are source bytes.
  const RescueRun run{"image /mnt/a b%/x\ny\xFF bytes=1", 520, 512, 10, 100, 7};
  const std::string text = FormatRescueMap(run, map, 40, kNot);
  EXPECT_NE(text.find("\n0x000079E0  0x00000208  -\n"), std::string::npos) << text;  // 60 x 520, 520
  const ParsedRescueMap parsed = ParseRescueMap(text);
  ASSERT_TRUE(parsed.isMap && parsed.run && parsed.map);
  EXPECT_EQ(*parsed.run, run);
  EXPECT_EQ(parsed.map->areas(), map.areas());
}

TEST(RescueMap, HostileTextIsNoMapOrNotThisRunsMap) {
  const std::string head = "# brenvik run: source=x source-sector=512 target-sector=512 start=0 count=4 target-start=0\n"
                           "0x00000000     ?               1\n";
  // Not a mapfile at all: such a file is never replaced.
  for (const char* text : {"", "my notes\n", "0x0 ?\n0x0 0x200 +\n0x400 0x200 +\n" /* gap */,
                           "0x0 ?\n0x0 0x200 x\n", "0x0 ?\n0x0 0 +\n", "0x0 ?\n-1 0x200 +\n",
                           "0x0 ?\n0x0 0xFFFFFFFFFFFFFFFFFF +\n", "0x0 ?\n0x7FFFFFFFFFFFFFFF 0x7FFFFFFFFFFFFFFF +\n",
                           "0x0 ?\n0x0 0x200\n"}) {
    EXPECT_FALSE(ParseRescueMap(text).isMap) << text;
  }
  // A mapfile, but without this program's run line, or with one that misses a field.
  EXPECT_FALSE(ParseRescueMap("0x0 ?\n0x0 0x800 +\n").run.has_value());
  EXPECT_FALSE(ParseRescueMap("# brenvik run: source=x count=4\n0x0 ?\n0x0 0x800 +\n").run.has_value());
  EXPECT_FALSE(ParseRescueMap("# brenvik run: source=%ZZ source-sector=512 target-sector=512 start=0 count=4 "
                              "target-start=0\n0x0 ?\n").run.has_value());
  // This program's map whose blocks do not cover the run in whole sectors has no sectors.
  EXPECT_TRUE(ParseRescueMap(head + "0x0 0x800 +\n").map.has_value());
  EXPECT_FALSE(ParseRescueMap(head + "0x0 0x600 +\n").map.has_value());  // short of the run
  EXPECT_FALSE(ParseRescueMap(head + "0x0 0x300 +\n0x300 0x500 -\n").map.has_value());  // half sectors
  EXPECT_FALSE(ParseRescueMap(head + "0x200 0x800 +\n").map.has_value());  // shifted
  // ddrescue's half-done states stay what they are, so a run resumes in their phase.
  const auto partial = ParseRescueMap(head + "0x0 0x200 *\n0x200 0x200 /\n0x400 0x400 +\n");
  ASSERT_TRUE(partial.map.has_value());
  EXPECT_EQ(partial.map->areas(),
            (std::vector<A>{{0, 1, SectorState::NonTrimmed}, {1, 2, SectorState::NonScraped}, {2, 4, kDone}}));
}

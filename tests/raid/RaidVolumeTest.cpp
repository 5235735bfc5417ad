#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>

#include "platform/PathText.h"
#include "raid/RaidVolume.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

// The member images of `shape` over `volume`, written shuffled into `dir`; `givenOrder[i]` is
// the place in the given list of array member i.
std::vector<RaidMember> WriteShuffled(const ArrayShape& shape, const std::string& volume, const TempDir& dir,
                                      std::vector<size_t>& givenOrder, unsigned seed) {
  const std::vector<std::string> images = StripeVolume(shape, volume);
  givenOrder.resize(images.size());
  std::iota(givenOrder.begin(), givenOrder.end(), size_t{0});
  std::shuffle(givenOrder.begin(), givenOrder.end(), std::mt19937(seed));
  std::vector<RaidMember> members(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const std::filesystem::path path = dir / ("member" + std::to_string(givenOrder[i]) + ".img");
    WriteFile(path, images[i]);
    members[givenOrder[i]] = {u"", path};
  }
  return members;
}

// The geometry the array was built with, member order in the given list's indexes.
RaidGeometryGuess GeometryOf(const ArrayShape& shape, const std::vector<size_t>& givenOrder) {
  RaidGeometryGuess geometry;
  geometry.layout = shape.layout;
  geometry.stripeSectors = shape.stripeSectors;
  geometry.startSector = shape.startSector;
  geometry.memberOrder = givenOrder;
  return geometry;
}

// The volume the array holds: the original, then zeros to the end of its last stripe row.
void ExpectVolume(const std::string& assembled, const std::string& volume) {
  ASSERT_GE(assembled.size(), volume.size());
  EXPECT_TRUE(assembled.compare(0, volume.size(), volume) == 0) << "the assembled volume differs from the original";
  EXPECT_EQ(assembled.find_first_not_of('\0', volume.size()), std::string::npos);
}

// The bytes at the member places a read without a copy is served from, in turn.
std::string BytesAtPieces(const std::vector<RaidVolumeReader::MemberPiece>& pieces) {
  std::string placed;
  for (const auto& piece : pieces) {
    std::string part(piece.size, '\0');
    if (::pread(piece.fd, part.data(), piece.size, piece.position) != static_cast<ssize_t>(piece.size))
      return "(a piece could not be read)";
    placed += part;
  }
  return placed;
}

// Assembles `request` into its target, which then holds the original volume.
void ExpectAssembled(const RaidVolumeRequest& request, const std::string& volume) {
  std::atomic<int> stop{0};
  RaidVolumeReporter progress;
  const RaidVolumeResult result = RunRaidAssembly(request, stop, progress);
  ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
  ExpectVolume(ReadFile(request.target), volume);
}

}  // namespace

// The analysis names the geometry of an array striped from a real NTFS volume, and the volume
// that geometry assembles is the original byte for byte, written sparse.
TEST(RaidVolume, AnalysedArrayAssemblesToTheOriginalVolume) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  for (const RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftSymmetric, RaidLayout::Mirror}) {
    const ArrayShape shape{layout, 3, 128, 0};
    TempDir dir;
    std::vector<size_t> givenOrder;
    RaidRequest analysis;
    analysis.members = WriteShuffled(shape, volume, dir, givenOrder, 7);
    analysis.logPath = dir / "map.txt";
    analysis.endOffset = static_cast<int64_t>(volume.size()) - 512;
    std::atomic<int> stop{0};
    RaidReporter quiet;
    const RaidResult found = RunRaidAnalysis(analysis, stop, quiet);
    ASSERT_EQ(found.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(found.geometry);

    RaidVolumeRequest request{analysis.members, *found.geometry.best, dir / "volume.img"};
    RaidVolumeReporter progress;
    const RaidVolumeResult result = RunRaidAssembly(request, stop, progress);
    ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
    const std::string assembled = ReadFile(dir / "volume.img");
    EXPECT_EQ(static_cast<int64_t>(assembled.size()), result.volumeSize);
    ExpectVolume(assembled, volume);
    // Most of the fresh volume is zeros, which the image keeps as holes.
    struct stat st {};
    ASSERT_EQ(::stat((dir / "volume.img").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size / 2);
  }
}

// Every RAID 5 rotation, with the first row several turns into the members, assembles from the
// geometry given by hand, and again with any one member missing: its blocks, data and parity
// alike, are rebuilt from the others.
TEST(RaidVolume, Raid5WithOneMemberMissingIsRebuilt) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA).substr(0, 24 << 20);
  ASSERT_FALSE(volume.empty());
  for (const RaidLayout layout : {RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                                  RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric}) {
    const ArrayShape shape{layout, 4, 32, 2048 + 4 * 32 * 3};
    TempDir dir;
    std::vector<size_t> givenOrder;
    const std::vector<RaidMember> members = WriteShuffled(shape, volume, dir, givenOrder, static_cast<unsigned>(layout));
    for (size_t missing = 0; missing <= members.size(); ++missing) {
      RaidVolumeRequest request{members, GeometryOf(shape, givenOrder), dir / "volume.img"};
      if (missing < members.size()) request.members[missing].path.clear();
      ExpectAssembled(request, volume);
    }
  }
}

// Reads at any offset and length, across stripe and row ends, give the volume's bytes there.
TEST(RaidVolume, ReaderGivesTheBytesAtAnyOffset) {
  std::string volume(3 << 20, '\0');
  std::mt19937 random(5);
  for (char& c : volume) c = static_cast<char>(random());
  const ArrayShape shape{RaidLayout::Raid5RightAsymmetric, 5, 16, 8};
  TempDir dir;
  std::vector<size_t> givenOrder;
  RaidVolumeRequest request{WriteShuffled(shape, volume, dir, givenOrder, 3), GeometryOf(shape, givenOrder), {}};
  RaidVolumeResult result;
  const auto whole = RaidVolumeReader::Open(request, result);
  request.members[2].path.clear();
  const auto reader = RaidVolumeReader::Open(request, result);
  ASSERT_TRUE(reader && whole);
  std::string buffer;
  std::vector<RaidVolumeReader::MemberPiece> pieces;
  for (int i = 0; i < 300; ++i) {
    const int64_t offset = random() % (volume.size() + 1000);
    const size_t length = random() % 100000;
    buffer.assign(length, 'x');
    const int64_t got = reader->read(buffer.data(), length, offset);
    const int64_t expected = std::clamp<int64_t>(static_cast<int64_t>(volume.size()) - offset, 0, static_cast<int64_t>(length));
    ASSERT_EQ(got, offset >= reader->size() ? 0 : std::min<int64_t>(reader->size() - offset, length));
    ASSERT_EQ(buffer.compare(0, static_cast<size_t>(expected), volume, std::min<size_t>(offset, volume.size()), static_cast<size_t>(expected)), 0)
        << "at " << offset << " length " << length;
    // Where the bytes lie on the members, read from there, are the same bytes; with a member
    // missing, a read that needs it cannot be placed.
    pieces.clear();
    ASSERT_TRUE(whole->locate(offset, length, pieces));
    const std::string placed = BytesAtPieces(pieces);
    ASSERT_EQ(static_cast<int64_t>(placed.size()), got);
    ASSERT_TRUE(placed == buffer.substr(0, placed.size()));
    pieces.clear();
    // Two whole rows of data hold a stripe of every member.
    const int64_t twoRows = 2 * 4 * 8192 + 8192;
    if (static_cast<int64_t>(length) >= twoRows && offset + twoRows <= reader->size())
      EXPECT_FALSE(reader->locate(offset, length, pieces));
  }
}

// Whatever the members hold, the places a read is served from without a copy (a mount's) hold the
// bytes the reader gives there, in every layout, with a RAID 10 member missing (the other copy
// serves), read in order (the reader then asks for the rows ahead) and at random.
TEST(RaidVolume, EveryLayoutPlacesItsBytesWhereItReads) {
  TempDir dir;
  std::mt19937 random(11);
  RaidVolumeRequest request;
  for (int i = 0; i < 5; ++i) {
    std::string image(1 << 20, '\0');
    for (char& c : image) c = static_cast<char>(random());
    WriteFile(dir / ("m" + std::to_string(i) + ".img"), image);
    request.members.push_back({u"", dir / ("m" + std::to_string(i) + ".img")});
  }
  request.geometry = {.stripeSectors = 16, .memberOrder = {3, 0, 4, 1, 2}, .startSector = 24};
  const auto expectPlaced = [](const RaidVolumeReader& reader, int64_t offset, size_t length) {
    std::string read(length, '\0');
    const int64_t got = reader.read(read.data(), length, offset);
    std::vector<RaidVolumeReader::MemberPiece> pieces;
    ASSERT_TRUE(reader.locate(offset, length, pieces));
    const std::string placed = BytesAtPieces(pieces);
    ASSERT_EQ(static_cast<int64_t>(placed.size()), got);
    ASSERT_TRUE(placed == read.substr(0, placed.size())) << "at " << offset << " length " << length;
  };
  for (const RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftSymmetric, RaidLayout::Raid5RightAsymmetric,
                                  RaidLayout::Raid6LeftSymmetric, RaidLayout::Raid10Near2, RaidLayout::Mirror,
                                  RaidLayout::Spanned}) {
    for (const bool memberMissing : {false, true}) {
      if (memberMissing && layout != RaidLayout::Raid10Near2) continue;
      RaidVolumeRequest given = request;
      given.geometry.layout = layout;
      if (memberMissing) given.members[4].path.clear();
      RaidVolumeResult result;
      const auto reader = RaidVolumeReader::Open(given, result);
      ASSERT_TRUE(reader) << static_cast<int>(layout);
      for (int64_t offset = 0; offset < reader->size(); offset += 100000) expectPlaced(*reader, offset, 100000);
      for (int i = 0; i < 100; ++i)
        expectPlaced(*reader, static_cast<int64_t>(random() % static_cast<uint32_t>(reader->size())), random() % 70000);
    }
  }
}

// What cannot be assembled is refused before anything is created or truncated: an image that is
// a member under another name, a member given twice, more members missing than the layout can
// spare, an order that does not name every member once.
TEST(RaidVolume, RefusalsLeaveEverythingAsItWas) {
  const std::string volume(1 << 20, '\x11');
  const ArrayShape shape{RaidLayout::Raid5LeftSymmetric, 3, 16, 0};
  TempDir dir;
  std::vector<size_t> givenOrder;
  const std::vector<RaidMember> members = WriteShuffled(shape, volume, dir, givenOrder, 1);
  const std::string first = ReadFile(members[0].path);
  std::filesystem::create_hard_link(members[0].path, dir / "link.img");
  WriteFile(dir / "old.img", "kept");

  struct Case {
    const char* what;
    RaidVolumeRequest request;
    RaidVolumeRefusal refusal;
  };
  const RaidGeometryGuess geometry = GeometryOf(shape, givenOrder);
  std::vector<Case> cases;
  cases.push_back({"image is a member", {members, geometry, dir / "link.img"}, RaidVolumeRefusal::Target});
  cases.push_back({"image is a folder", {members, geometry, dir.path()}, RaidVolumeRefusal::Target});
  Case twice{"member twice", {members, geometry, dir / "old.img"}, RaidVolumeRefusal::MemberRepeated};
  twice.request.members[1].path = dir / "link.img";
  cases.push_back(twice);
  Case twoMissing{"two missing", {members, geometry, dir / "old.img"}, RaidVolumeRefusal::TooManyMissing};
  twoMissing.request.members[0].path.clear();
  twoMissing.request.members[2].path.clear();
  cases.push_back(twoMissing);
  Case raid0Missing = twoMissing;
  raid0Missing.what = "RAID 0 member missing";
  raid0Missing.request.geometry.layout = RaidLayout::Raid0;
  raid0Missing.request.members = members;
  raid0Missing.request.members[1].path.clear();
  cases.push_back(raid0Missing);
  Case badOrder{"order repeats a member", {members, geometry, dir / "old.img"}, RaidVolumeRefusal::Geometry};
  badOrder.request.geometry.memberOrder = {0, 1, 1};
  cases.push_back(badOrder);
  cases.push_back({"image is the run's log", {members, geometry, dir / "old.img", {dir / "old.img"}},
                   RaidVolumeRefusal::Target});
  Case noStripe{"no stripe size", {members, geometry, dir / "old.img"}, RaidVolumeRefusal::Geometry};
  noStripe.request.geometry.stripeSectors = 0;
  cases.push_back(noStripe);

  for (const Case& c : cases) {
    std::atomic<int> stop{0};
    RaidVolumeReporter progress;
    const RaidVolumeResult result = RunRaidAssembly(c.request, stop, progress);
    EXPECT_EQ(result.end, RaidVolumeEnd::Refused) << c.what;
    EXPECT_EQ(result.refusal, c.refusal) << c.what;
    EXPECT_FALSE(RaidVolumeOutcomeText(result).empty()) << c.what;
  }
  EXPECT_EQ(ReadFile(members[0].path), first);
  EXPECT_EQ(ReadFile(dir / "old.img"), "kept");
}

// Stop ends the copy between pieces; the image then holds the volume as far as it got.
TEST(RaidVolume, StopLeavesTheVolumeUpToWhereItStopped) {
  std::string volume(12 << 20, '\0');
  for (size_t i = 0; i < volume.size(); i += 4096) volume[i] = static_cast<char>(i >> 12);
  const ArrayShape shape{RaidLayout::Raid0, 2, 128, 0};
  TempDir dir;
  std::vector<size_t> givenOrder;
  RaidVolumeRequest request{WriteShuffled(shape, volume, dir, givenOrder, 2), GeometryOf(shape, givenOrder),
                            dir / "volume.img"};
  class StopAfterFirst : public RaidVolumeReporter {
   public:
    explicit StopAfterFirst(std::atomic<int>& stop) : stop_(stop) {}
    void Progress(int64_t position, int64_t) override {
      if (position > 0) stop_ = 1;
    }

   private:
    std::atomic<int>& stop_;
  };
  std::atomic<int> stop{0};
  StopAfterFirst reporter(stop);
  const RaidVolumeResult result = RunRaidAssembly(request, stop, reporter);
  EXPECT_EQ(result.end, RaidVolumeEnd::Stopped);
  const std::string assembled = ReadFile(dir / "volume.img");
  ASSERT_GT(assembled.size(), 0u);
  ASSERT_LT(assembled.size(), volume.size());
  EXPECT_EQ(static_cast<int64_t>(assembled.size()), result.written);
  EXPECT_TRUE(assembled == volume.substr(0, assembled.size()));
}

// RAID 10 as Linux md lays it out (near layout, two copies: stripe k on positions 2k and 2k + 1
// of the order, row after row), over an even and an odd number of members, with a member missing
// where its copies are elsewhere; and a spanned set, its members one after the other.
TEST(RaidVolume, Raid10AndSpannedSetsAssemble) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA).substr(0, 8 << 20);
  ASSERT_FALSE(volume.empty());
  const int64_t stripe = 16 * 512;
  for (const size_t count : {size_t{4}, size_t{3}}) {
    TempDir dir;
    const int64_t chunks = static_cast<int64_t>(volume.size()) / stripe;
    const int64_t rows = (2 * chunks + static_cast<int64_t>(count) - 1) / static_cast<int64_t>(count);
    std::vector<std::string> images(count, std::string(static_cast<size_t>(rows * stripe), '\0'));
    for (int64_t chunk = 0; chunk < chunks; ++chunk)
      for (const int64_t copy : {2 * chunk, 2 * chunk + 1})
        images[static_cast<size_t>(copy) % count].replace(static_cast<size_t>(copy / static_cast<int64_t>(count) * stripe),
                                                          static_cast<size_t>(stripe), volume, static_cast<size_t>(chunk * stripe),
                                                          static_cast<size_t>(stripe));
    // Given in reverse order.
    RaidVolumeRequest request;
    for (size_t i = 0; i < count; ++i) {
      WriteFile(dir / ("m" + std::to_string(i) + ".img"), images[count - 1 - i]);
      request.members.push_back({u"", dir / ("m" + std::to_string(i) + ".img")});
      request.geometry.memberOrder.insert(request.geometry.memberOrder.begin(), i);
    }
    request.geometry.layout = RaidLayout::Raid10Near2;
    request.geometry.stripeSectors = 16;
    request.target = dir / "volume.img";
    request.members[1].path.clear();
    std::atomic<int> stop{0};
    RaidVolumeReporter progress;
    const RaidVolumeResult result = RunRaidAssembly(request, stop, progress);
    ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
    EXPECT_TRUE(ReadFile(dir / "volume.img") == volume) << count << " members";
    // Both copies of some stripes gone: refused.
    request.members[count == 4 ? 0 : 2].path.clear();
    EXPECT_EQ(RunRaidAssembly(request, stop, progress).refusal, RaidVolumeRefusal::TooManyMissing);
  }

  TempDir dir;
  RaidVolumeRequest spanned;
  spanned.geometry.layout = RaidLayout::Spanned;
  const size_t cuts[] = {0, 3 << 20, 3 << 20 | 4096, volume.size()};
  for (size_t i = 0; i < 3; ++i) {
    WriteFile(dir / ("s" + std::to_string(i) + ".img"), volume.substr(cuts[i], cuts[i + 1] - cuts[i]));
    spanned.members.push_back({u"", dir / ("s" + std::to_string(i) + ".img")});
  }
  spanned.geometry.memberOrder = {1, 2, 0};
  // Given as the third, first, second.
  std::swap(spanned.members[0], spanned.members[2]);
  std::swap(spanned.members[1], spanned.members[2]);
  spanned.target = dir / "volume.img";
  std::atomic<int> stop{0};
  RaidVolumeReporter progress;
  const RaidVolumeResult result = RunRaidAssembly(spanned, stop, progress);
  ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
  EXPECT_TRUE(ReadFile(dir / "volume.img") == volume);
}

namespace {

// 2 × a in GF(2^8) with the polynomial 0x11d.
uint8_t TimesTwo(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1d : 0)); }

// The members of Linux md's RAID 6, left-symmetric, over `volume`, the first row `start` bytes in:
// row r's P on position n - 1 - r mod n, Q after it, data after Q; Q by Horner's rule over the
// data, highest first. With `qReversed`, Q weighs the data the other way round (D0 highest), as
// md does not: the records and P are the same, Q is not md's.
std::vector<std::string> StripeRaid6(const std::string& volume, size_t members, size_t stripe, size_t start = 0,
                                     bool qReversed = false) {
  const size_t dataPerRow = members - 2;
  const size_t rows = (volume.size() + dataPerRow * stripe - 1) / (dataPerRow * stripe);
  std::vector<std::string> images(members, std::string(start + rows * stripe, '\0'));
  for (size_t row = 0; row < rows; ++row) {
    const size_t p = members - 1 - row % members;
    const size_t q = (p + 1) % members;
    const size_t at0 = start + row * stripe;
    for (size_t at = 0; at < stripe; ++at) {
      uint8_t pSum = 0, qSum = 0;
      for (size_t k = dataPerRow; k-- > 0;) {
        const size_t index = qReversed ? dataPerRow - 1 - k : k;
        const size_t from = (row * dataPerRow + index) * stripe + at;
        const uint8_t byte = from < volume.size() ? static_cast<uint8_t>(volume[from]) : 0;
        images[(p + 2 + index) % members][at0 + at] = static_cast<char>(byte);
        pSum ^= byte;
        qSum = static_cast<uint8_t>(TimesTwo(qSum) ^ byte);
      }
      images[p][at0 + at] = static_cast<char>(pSum);
      images[q][at0 + at] = static_cast<char>(qSum);
    }
  }
  return images;
}

// The analysis of `images` (array order) written into `dir` and given shuffled as `given` (array
// position p is given as member given[p]), over every sector the members hold.
RaidRequest AnalysisOfGiven(const std::vector<std::string>& images, const std::vector<size_t>& given, const TempDir& dir) {
  RaidRequest analysis;
  analysis.members.resize(images.size());
  for (size_t position = 0; position < images.size(); ++position) {
    const auto path = dir / ("member" + std::to_string(position) + ".img");
    WriteFile(path, images[position]);
    analysis.members[given[position]] = {u"", path};
  }
  analysis.logPath = dir / "map.txt";
  analysis.endOffset = static_cast<int64_t>(images[0].size()) - 512;
  return analysis;
}

RaidResult Analyse(const RaidRequest& analysis) {
  std::atomic<int> stop{0};
  RaidReporter quiet;
  return RunRaidAnalysis(analysis, stop, quiet);
}

}  // namespace

// RAID 6 as md writes it assembles from every member, and with any one or any two members missing:
// data rebuilt from P, from Q, or from both. Three missing are refused.
TEST(RaidVolume, Raid6WithUpToTwoMembersMissingIsRebuilt) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA).substr(0, 6 << 20);
  ASSERT_FALSE(volume.empty());
  const size_t members = 5;
  const std::vector<std::string> images = StripeRaid6(volume, members, 16 * 1024);
  TempDir dir;
  std::vector<RaidMember> given;
  std::vector<size_t> order = {3, 0, 4, 1, 2};  // array position p is given as member order[p]
  given.resize(members);
  for (size_t position = 0; position < members; ++position) {
    const auto path = dir / ("member" + std::to_string(position) + ".img");
    WriteFile(path, images[position]);
    given[order[position]] = {u"", path};
  }
  RaidGeometryGuess geometry;
  geometry.layout = RaidLayout::Raid6LeftSymmetric;
  geometry.stripeSectors = 32;
  geometry.memberOrder = order;
  std::atomic<int> stop{0};
  for (size_t first = 0; first <= members; ++first) {
    for (size_t second = first; second <= members; ++second) {
      SCOPED_TRACE(std::to_string(first) + " and " + std::to_string(second) + " missing");
      RaidVolumeRequest request{given, geometry, dir / "volume.img", {}};
      if (first < members) request.members[first].path.clear();
      if (second < members) request.members[second].path.clear();
      RaidVolumeReporter progress;
      const RaidVolumeResult result = RunRaidAssembly(request, stop, progress);
      ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
      ExpectVolume(ReadFile(dir / "volume.img"), volume);
    }
  }
  RaidVolumeRequest three{given, geometry, dir / "volume.img", {}};
  for (size_t member : {0, 2, 4}) three.members[member].path.clear();
  RaidVolumeReporter progress;
  EXPECT_EQ(RunRaidAssembly(three, stop, progress).refusal, RaidVolumeRefusal::TooManyMissing);
}

namespace {

// A RAID 5 left-asymmetric set over `volume` whose parity stays on one member for `delay` rows in
// turn, as some hardware controllers write it; the member images in array order.
std::vector<std::string> DelayedRaid5(const std::string& volume, size_t members, size_t stripe, size_t delay) {
  const size_t rows = (volume.size() + (members - 1) * stripe - 1) / ((members - 1) * stripe);
  std::vector<std::string> images(members, std::string(rows * stripe, '\0'));
  for (size_t row = 0; row < rows; ++row) {
    const size_t parity = members - 1 - row / delay % members;
    for (size_t index = 0; index < members - 1; ++index) {
      const size_t from = (row * (members - 1) + index) * stripe;
      const std::string data = from < volume.size() ? volume.substr(from, stripe) : std::string();
      std::string& image = images[index < parity ? index : index + 1];
      std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(row * stripe));
      for (size_t i = 0; i < data.size(); ++i) images[parity][row * stripe + i] ^= data[i];
    }
  }
  return images;
}

}  // namespace

// Delayed parity, as some controllers write RAID 5: the parity stays on one member for 16 rows in
// turn (from the last member down, the data in member order around it). Assembled by hand, with
// and without a member missing.
TEST(RaidVolume, Raid5WithDelayedParityAssembles) {
  const std::string whole = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(whole.empty());
  const std::string volume = whole.substr(0, 8 << 20);
  const size_t members = 4, delay = 16;
  const std::vector<std::string> images = DelayedRaid5(volume, members, 8 * 1024, delay);
  TempDir dir;
  std::vector<RaidMember> given(members);
  for (size_t position = 0; position < members; ++position) {
    given[position] = {u"", dir / ("member" + std::to_string(position) + ".img")};
    WriteFile(given[position].path, images[position]);
  }
  RaidGeometryGuess geometry;
  geometry.layout = RaidLayout::Raid5LeftAsymmetric;
  geometry.stripeSectors = 16;
  geometry.memberOrder = {0, 1, 2, 3};
  geometry.parityDelay = delay;
  std::atomic<int> stop{0};
  for (size_t missing = 0; missing <= members; ++missing) {
    RaidVolumeRequest request{given, geometry, dir / "volume.img", {}};
    if (missing < members) request.members[missing].path.clear();
    ExpectAssembled(request, volume);
  }
  // Without the delay the same members give another volume.
  geometry.parityDelay = 1;
  RaidVolumeRequest undelayed{given, geometry, dir / "volume.img", {}};
  RaidVolumeReporter progress;
  ASSERT_EQ(RunRaidAssembly(undelayed, stop, progress).end, RaidVolumeEnd::Completed);
  EXPECT_NE(ReadFile(dir / "volume.img").substr(0, volume.size()), volume);

  // The analysis tells a delay from the parity kept on one member for a run of rows, which a
  // stripe as many times longer would leave too (and once did, to a wrong answer): the records
  // continue only over the shorter stripes.
  TempDir shuffled;
  const std::vector<std::string> delayed = DelayedRaid5(whole, 3, 64 * 1024, 2);
  const RaidRequest analysis = AnalysisOfGiven(delayed, {2, 0, 1}, shuffled);
  const RaidResult found = Analyse(analysis);
  ASSERT_EQ(found.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(found.geometry);
  EXPECT_EQ(found.geometry.best->layout, RaidLayout::Raid5LeftAsymmetric);
  EXPECT_EQ(found.geometry.best->stripeSectors, 128);
  EXPECT_EQ(found.geometry.best->parityDelay, 2);
  ExpectAssembled({analysis.members, *found.geometry.best, shuffled / "volume.img", {}}, whole);
}

// Linux md's RAID 10 (near layout, two copies) over four members is named from its records: the
// members pair up as copies, the pairs form a RAID 0 set; the volume it names is the original,
// also when the set starts some rows into its members (the start is where the volume begins, not
// the earliest row the records allow).
TEST(RaidVolume, Raid10IsNamedFromItsRecordsAndAssembles) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA).substr(0, 24 << 20);
  ASSERT_FALSE(volume.empty());
  for (const int64_t start : {int64_t{0}, int64_t{2048}}) {
    SCOPED_TRACE("start " + std::to_string(start));
    // RAID 0 over the two pairs, each pair's image written twice.
    const ArrayShape pairs{RaidLayout::Raid0, 2, 32, start};
    const std::vector<std::string> halves = StripeVolume(pairs, volume);
    const std::vector<std::string> images = {halves[0], halves[0], halves[1], halves[1]};
    TempDir dir;
    const RaidRequest analysis = AnalysisOfGiven(images, {2, 0, 3, 1}, dir);
    const RaidResult found = Analyse(analysis);
    ASSERT_EQ(found.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(found.geometry);
    ASSERT_EQ(found.geometry.best->layout, RaidLayout::Raid10Near2);
    EXPECT_EQ(found.geometry.best->stripeSectors, 32);
    EXPECT_EQ(found.geometry.best->startSector, start);

    ExpectAssembled({analysis.members, *found.geometry.best, dir / "volume.img", {}}, volume);
  }
}

// RAID 6 as md writes it is named with its member order, stripe and the row the volume begins
// with, from the records where they span several rows, else from where its Q lies (the XOR of
// each row's blocks), its P and Q computed again from the data; the volume it names is the
// original. The members are given shuffled and the set begins rows into them.
TEST(RaidVolume, Raid6IsNamedFromItsRecordsOrItsQAndAssembles) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  struct Shape {
    size_t members;
    int64_t stripeSectors;
    int64_t startSector;
    bool fromRecords;  // the records span several rows
  };
  for (const Shape shape : {Shape{5, 32, 3 * 32, true}, Shape{6, 256, 2048, false}}) {
    SCOPED_TRACE(std::to_string(shape.members) + " members");
    const std::vector<std::string> images = StripeRaid6(volume, shape.members, static_cast<size_t>(shape.stripeSectors) * 512,
                                                        static_cast<size_t>(shape.startSector) * 512);
    std::vector<size_t> given(shape.members);
    std::iota(given.begin(), given.end(), size_t{0});
    std::shuffle(given.begin(), given.end(), std::mt19937(static_cast<unsigned>(shape.members)));
    TempDir dir;
    const RaidRequest analysis = AnalysisOfGiven(images, given, dir);
    const RaidResult found = Analyse(analysis);
    const RaidGeometry& geometry = found.geometry;
    ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
    EXPECT_EQ(geometry.fromParityPlaces, !shape.fromRecords);
    ASSERT_EQ(geometry.best->layout, RaidLayout::Raid6LeftSymmetric);
    EXPECT_EQ(geometry.best->stripeSectors, shape.stripeSectors);
    EXPECT_EQ(geometry.best->startSector, shape.startSector);
    EXPECT_EQ(geometry.best->memberOrder, given);
    EXPECT_GT(geometry.syndrome.agree, 0u);
    EXPECT_EQ(geometry.syndrome.disagree, 0u);
    EXPECT_NE(FormatGeometryText(geometry).find(u"RAID 6 left-symmetric"), std::u16string::npos);
    // The plot's expected records run through every record found on a data stripe (P and Q
    // beside a lone data block are copies of it), but for the four of the MFT's mirror.
    uint64_t onData = 0, onLine = 0;
    for (const RaidRecordRun& run : found.plot.runs) {
      for (uint32_t i = 0; i < run.length; ++i) {
        const std::optional<int64_t> expected = RecordExpectedAt(*found.plot.geometry, run.member, run.sector + 2 * int64_t{i});
        onData += expected.has_value();
        onLine += expected == int64_t{run.record + i};
      }
    }
    EXPECT_GE(onLine, 220u);
    EXPECT_LE(onData - onLine, 4u);

    ExpectAssembled({analysis.members, *geometry.best, dir / "volume.img", {}}, volume);
  }
}

// Sets that look like RAID 6 but are not md's, or cannot be checked, get no answer rather than a
// wrong one: a Q that weighs the data the other way round (the records fit md's layout, P and Q
// do not), and md's RAID 6 with a member given as missing (its rebuilt XOR is no member's block,
// and neither RAID 0 nor RAID 5 is the set).
TEST(RaidVolume, Raid6ThatCannotBeConfirmedGetsNoAnswer) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  const std::vector<size_t> given = {2, 0, 3, 1, 4};
  {
    TempDir dir;
    const RaidResult found = Analyse(AnalysisOfGiven(StripeRaid6(volume, 5, 32 * 512, 0, true), given, dir));
    EXPECT_TRUE(found.geometry.parity.raid6Holds()) << FormatGeometryJson(found.geometry);
    EXPECT_GT(found.geometry.syndrome.disagree, 0u) << FormatGeometryJson(found.geometry);
    EXPECT_NE(found.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(found.geometry);
  }
  TempDir dir;
  const RaidRequest analysis = AnalysisOfGiven(StripeRaid6(volume, 5, 32 * 512), given, dir);
  for (size_t missing = 0; missing < given.size(); ++missing) {
    SCOPED_TRACE("member " + std::to_string(missing) + " missing");
    RaidRequest withMissing = analysis;
    withMissing.members[missing].path.clear();
    const RaidResult rebuilt = Analyse(withMissing);
    EXPECT_NE(rebuilt.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(rebuilt.geometry);
  }
}

namespace {


// A spanned set over `volume`: the pieces between `cuts` (byte offsets), each after `start`
// sectors of zeros, in array order.
std::vector<std::string> SpanVolume(const std::string& volume, const std::vector<size_t>& cuts, size_t start) {
  std::vector<std::string> images;
  size_t from = 0;
  for (size_t i = 0; i <= cuts.size(); ++i) {
    const size_t to = i < cuts.size() ? cuts[i] : volume.size();
    images.push_back(std::string(start * 512, '\0') + volume.substr(from, to - from));
    from = to;
  }
  return images;
}

}  // namespace

// A spanned set (JBOD) is named with its member order and start from the blocks that name their
// place: NTFS's boot sector, the MFT's mirror in the middle of the volume and the backup boot
// sector at its end, ext4's superblock and its backup; members of unequal sizes, given shuffled.
// The volume it names is the original.
TEST(RaidVolume, SpannedSetIsNamedFromThePlacesItsVolumeNames) {
  const std::string ntfs = RealNtfsVolume(BRENVIK_TEST_DATA);
  const std::string ext4 = Gunzip(std::filesystem::path(BRENVIK_TEST_DATA) / "raid/ext4-volume.img.gz");
  ASSERT_FALSE(ntfs.empty());
  ASSERT_FALSE(ext4.empty());
  struct Set {
    const std::string* volume;
    std::vector<size_t> cuts;
    size_t start;
    std::vector<size_t> given;
  };
  for (const Set& set : {Set{&ntfs, {24 << 20, 50 << 20}, 2048, {2, 0, 1}}, Set{&ext4, {6 << 20}, 0, {1, 0}}}) {
    SCOPED_TRACE(std::to_string(set.given.size()) + " members");
    TempDir dir;
    const RaidRequest analysis = AnalysisOfGiven(SpanVolume(*set.volume, set.cuts, set.start), set.given, dir);
    const RaidGeometry geometry = Analyse(analysis).geometry;
    ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
    ASSERT_EQ(geometry.best->layout, RaidLayout::Spanned);
    EXPECT_EQ(geometry.best->memberOrder, set.given);
    EXPECT_EQ(geometry.best->startSector, static_cast<int64_t>(set.start));
    std::string line = "Geometry: JBOD (spanned), member order ";
    for (size_t position = 0; position < set.given.size(); ++position)
      line += (position == 0 ? "" : ", ") + std::to_string(set.given[position] + 1);
    if (set.start != 0) line += ", start sector " + std::to_string(set.start);
    const std::string text = TextToUtf8(FormatGeometryText(geometry));
    EXPECT_EQ(text.substr(0, text.find('\n')), line);

    RaidVolumeRequest request{analysis.members, *geometry.best, dir / "volume.img", {}};
    std::atomic<int> stop{0};
    RaidVolumeReporter progress;
    const RaidVolumeResult result = RunRaidAssembly(request, stop, progress);
    ASSERT_EQ(result.end, RaidVolumeEnd::Completed) << TextToUtf8(RaidVolumeOutcomeText(result));
    EXPECT_TRUE(ReadFile(dir / "volume.img") == *set.volume);
  }
}

// A spanned set whose pieces the volume's places do not tell apart gets no answer: of four equal
// members of the ext4 volume, the second and the fourth hold nothing that names its place, and
// either could come first. Nor does a set of one volume's two halves given twice over, nor one
// whose first member is missing.
TEST(RaidVolume, SpannedSetThatThePlacesDoNotFixGetsNoAnswer) {
  const std::string ext4 = Gunzip(std::filesystem::path(BRENVIK_TEST_DATA) / "raid/ext4-volume.img.gz");
  ASSERT_FALSE(ext4.empty());
  TempDir dir;
  const RaidRequest four = AnalysisOfGiven(SpanVolume(ext4, {4 << 20, 8 << 20, 12 << 20}, 0), {3, 1, 0, 2}, dir);
  const RaidGeometry geometry = Analyse(four).geometry;
  EXPECT_NE(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);

  TempDir halves;
  const RaidRequest two = AnalysisOfGiven(SpanVolume(ext4, {8 << 20}, 0), {0, 1}, halves);
  WriteFile(halves / "copy0.img", ReadFile(two.members[0].path));
  WriteFile(halves / "copy1.img", ReadFile(two.members[1].path));
  RaidRequest twice = two;
  twice.members.push_back({u"", halves / "copy0.img"});
  twice.members.push_back({u"", halves / "copy1.img"});
  const RaidGeometry copies = Analyse(twice).geometry;
  EXPECT_FALSE(copies.verdict == RaidGeometry::Verdict::Decided && copies.best->layout == RaidLayout::Spanned)
      << FormatGeometryJson(copies);

  RaidRequest firstMissing = AnalysisOfGiven(SpanVolume(ext4, {5 << 20, 11 << 20}, 0), {0, 1, 2}, halves);
  firstMissing.members[0].path.clear();
  const RaidGeometry missing = Analyse(firstMissing).geometry;
  EXPECT_NE(missing.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(missing);
}

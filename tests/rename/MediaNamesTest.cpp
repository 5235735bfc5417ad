// Photos, songs and videos named from their metadata, on files real programs made in the set-up:
// ImageMagick pictures given EXIF by exiftool, songs tagged by their encoders' own options, videos
// from ffmpeg. A test whose programs are missing says which and is skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>

#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/MediaFacts.h"
#include "rename/RenameEngine.h"
#include "tests/support/TempDir.h"
#include "tests/support/TimeZone.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

bool Have(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command in `folder`; true when it succeeded.
bool Make(const std::filesystem::path& folder, const std::string& command) {
  return std::system(("cd '" + folder.string() + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Missing(std::initializer_list<const char*> programs) {
  std::string missing;
  for (const char* program : programs)
    if (!Have(program)) missing += std::string(missing.empty() ? "" : ", ") + program;
  return missing;
}

void SetModified(const std::filesystem::path& path, int64_t seconds) {
  const utimbuf times{static_cast<time_t>(seconds), static_cast<time_t>(seconds)};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

class MediaNamesTest : public ::testing::Test {
 protected:
  MediaNamesTest() : engine(DocumentContentReaders()) {
    std::filesystem::create_directories(rec);
    settings.temporaryFolder = temporary.path();
    engine.setSettings(settings);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
  }

  // Renames `file` (made in `made`) as a carving would have named it; returns the new file name.
  std::string renamed(const std::string& file, const std::string& carvedAs) {
    std::filesystem::copy_file(made / file, rec / carvedAs);
    const RenameResult result = engine.RenameFromContent(PathToText(rec / carvedAs));
    if (result.outcome != RenameOutcome::Renamed) return "(kept " + carvedAs + ")";
    return TextToPath(result.newPath).filename().string();
  }

  // Times with an offset and UTC times are shown on a machine at UTC+8.
  const brenvik::testing::ScopedTimeZone zone{brenvik::testing::kUtcPlus8};
  TempDir temporary;
  TempDir made;
  TempDir root;
  std::filesystem::path rec = root / "rec";
  AppSettings settings;
  RenameEngine engine;
};

TEST_F(MediaNamesTest, PhotosAreNamedByTheTimeTakenAndTheCamera) {
  if (const std::string missing = Missing({"convert", "exiftool"}); !missing.empty())
    GTEST_SKIP() << "needs " << missing << " (imagemagick, libimage-exiftool-perl) to make real photos";
  const auto photo = [&](const std::string& name, const std::string& tags) {
    ASSERT_TRUE(Make(made.path(), "convert -size 64x48 gradient:red-blue " + name));
    ASSERT_TRUE(Make(made.path(), "exiftool -q -overwrite_original " + tags + " " + name));
  };
  // The moment taken (14:22:05 at UTC+2) is shown on this machine's clock; the camera's make is
  // not repeated when the model starts with it.
  photo("offset.jpg", "-DateTimeOriginal='2019:06:01 14:22:05' -OffsetTimeOriginal=+02:00 -CreateDate='2018:01:01 "
                      "00:00:00' -Make=Canon -Model='Canon EOS 5D Mark II'");
  // Without an offset the wall clock is shown as it reads; without DateTimeOriginal, CreateDate.
  photo("wall.jpg", "-CreateDate='2021:12:24 18:30:00' -Make=Apple -Model='iPhone 12'");
  // A camera whose clock was never set, and a PNG whose EXIF is in its eXIf chunk.
  photo("reset.jpg", "-DateTimeOriginal='2000:01:01 00:00:07' -Make=NIKON -Model='COOLPIX P7000'");
  photo("shot.png", "-DateTimeOriginal='2015:03:08 09:10:11'");
  photo("tiff.tif", "-DateTimeOriginal='2016:07:08 09:10:11' -Make=FUJIFILM -Model=X-T2");
  photo("future.jpg", "-DateTimeOriginal='2019:06:01 14:22:05'");

  EXPECT_EQ(renamed("offset.jpg", "f0001.jpg"), "2019-06-01 20-22-05CanonEOS5DMarkII#1.jpg");
  EXPECT_EQ(renamed("wall.jpg", "IMG_0002.JPG"), "2021-12-24 18-30-00AppleiPhone12#2.JPG");
  EXPECT_EQ(renamed("reset.jpg", "f0003.jpg"), "NIKONCOOLPIXP7000#3.jpg") << "a reset clock gives no date";
  EXPECT_EQ(renamed("shot.png", "f0004.png"), "2015-03-08 09-10-11#4.png");
  EXPECT_EQ(renamed("tiff.tif", "f0005.tif"), "2016-07-08 09-10-11FUJIFILMX-T2#5.tif");
  // Taken two days after the file was last changed: the date cannot be right.
  std::filesystem::copy_file(made / "future.jpg", rec / "f0006.jpg");
  SetModified(rec / "f0006.jpg", SecondsOfCivil(2019, 5, 30, 0, 0, 0));
  EXPECT_EQ(engine.RenameFromContent(PathToText(rec / "f0006.jpg")).outcome, RenameOutcome::NoName);

  // The document settings hold: without Date only the camera, with a limit the name is cut.
  settings.date = 0;
  engine.setSettings(settings);
  EXPECT_EQ(renamed("offset.jpg", "f0007.jpg"), "CanonEOS5DMarkII#6.jpg");
  settings.date = 1;
  settings.content = 0;
  settings.nameLengthLimit = 10;
  engine.setSettings(settings);
  EXPECT_EQ(renamed("offset.jpg", "f0008.jpg"), "2019-06-01#7.jpg");
}

TEST_F(MediaNamesTest, SongsAreNamedByArtistAndTitleElseAlbumAndTrack) {
  if (const std::string missing = Missing({"ffmpeg", "lame", "flac", "oggenc", "opusenc"}); !missing.empty())
    GTEST_SKIP() << "needs " << missing << " (ffmpeg, lame, flac, vorbis-tools, opus-tools) to make real songs";
  const std::string band = "-metadata artist='The Band' -metadata title=";
  ASSERT_TRUE(Make(made.path(), "ffmpeg -v error -f lavfi -i sine=d=0.3 -ar 22050 -ac 1 tone.wav"));
  ASSERT_TRUE(Make(made.path(), "lame --quiet --ta 'The Band' --tt 'First Song' tone.wav s.mp3"));
  ASSERT_TRUE(Make(made.path(), "flac -s -T ARTIST='The Band' -T TITLE='Second Song' -o s.flac tone.wav"));
  ASSERT_TRUE(Make(made.path(), "oggenc -Q -a 'The Band' -t 'Third: Song?' -o s.ogg tone.wav"));
  ASSERT_TRUE(Make(made.path(), "opusenc --quiet --artist 'The Band' --title 'Fourth Song' tone.wav s.opus"));
  ASSERT_TRUE(Make(made.path(), "ffmpeg -v error -i tone.wav " + band + "'Fifth Song' s.m4a"));
  ASSERT_TRUE(Make(made.path(), "ffmpeg -v error -i tone.wav " + band + "'Sixth Song' s.wma"));
  ASSERT_TRUE(Make(made.path(), "ffmpeg -v error -i tone.wav -metadata album='Live at Home' -metadata track=7 s.wav"));

  EXPECT_EQ(renamed("s.mp3", "f1.mp3"), "TheBand-FirstSong#1.mp3");
  EXPECT_EQ(renamed("s.flac", "f2.flac"), "TheBand-SecondSong#2.flac");
  EXPECT_EQ(renamed("s.ogg", "f3.ogg"), "TheBand-ThirdSong#3.ogg") << "the name rules drop ':' and '?'";
  EXPECT_EQ(renamed("s.opus", "f4.opus"), "TheBand-FourthSong#4.opus");
  EXPECT_EQ(renamed("s.m4a", "f5.m4a"), "TheBand-FifthSong#5.m4a");
  EXPECT_EQ(renamed("s.wma", "f6.wma"), "TheBand-SixthSong#6.wma");
  EXPECT_EQ(renamed("s.wav", "f7.wav"), "LiveatHome-07#7.wav");
  // The format is found from the contents: a song carved with the wrong extension still has its tags.
  EXPECT_EQ(renamed("s.flac", "f8.mp3"), "TheBand-SecondSong#8.mp3");
  EXPECT_EQ(renamed("tone.wav", "f9.wav"), "(kept f9.wav)") << "no tags, no name, no number used";
  EXPECT_EQ(engine.nameCounter(), 9);
}

TEST_F(MediaNamesTest, VideosAreNamedByTheirContainersTimeAndCamera) {
  if (!Have("ffmpeg")) GTEST_SKIP() << "needs ffmpeg to make real videos";
  const std::string clip = "ffmpeg -v error -f lavfi -i testsrc=d=0.2:s=128x96 ";
  ASSERT_TRUE(Make(made.path(), clip + "-metadata creation_time=2019-06-01T12:22:05Z v.mp4"));
  ASSERT_TRUE(Make(made.path(), clip + "-metadata creation_time=2019-06-01T12:22:05Z -metadata make=Apple "
                                      "-metadata model='iPhone 12' v.mov"));
  // As a phone keeps them: metadata keys with the local time and its offset.
  ASSERT_TRUE(Make(made.path(), clip + "-movflags use_metadata_tags -metadata com.apple.quicktime.make=Apple "
                                      "-metadata com.apple.quicktime.model='iPhone 12' "
                                      "-metadata com.apple.quicktime.creationdate=2019-06-01T14:22:05+0200 "
                                      "-metadata creation_time=2019-06-01T11:00:00Z keyed.mov"));
  ASSERT_TRUE(Make(made.path(), clip + "-metadata creation_time=2019-06-01T12:22:05Z v.mkv"));
  ASSERT_TRUE(Make(made.path(), clip + "-metadata creation_time=2019-06-01T12:22:05Z v.webm"));
  ASSERT_TRUE(Make(made.path(), clip + "-metadata creation_time=2019-06-01T12:22:05Z v.3gp"));
  ASSERT_TRUE(Make(made.path(), clip + "plain.mp4"));
  ASSERT_TRUE(Make(made.path(), clip + "v.avi"));

  EXPECT_EQ(renamed("v.mp4", "f1.mp4"), "2019-06-01 20-22-05#1.mp4") << "UTC shown at UTC+8";
  EXPECT_EQ(renamed("v.mov", "f2.mov"), "2019-06-01 20-22-05AppleiPhone12#2.mov");
  EXPECT_EQ(renamed("keyed.mov", "f3.MOV"), "2019-06-01 20-22-05AppleiPhone12#3.MOV")
      << "the keyed creation date wins over the movie header's";
  EXPECT_EQ(renamed("v.mkv", "f4.mkv"), "2019-06-01 20-22-05#4.mkv");
  EXPECT_EQ(renamed("v.webm", "f5.webm"), "2019-06-01 20-22-05#5.webm");
  EXPECT_EQ(renamed("v.3gp", "f6.3gp"), "2019-06-01 20-22-05#6.3gp");
  EXPECT_EQ(renamed("plain.mp4", "f7.mp4"), "(kept f7.mp4)") << "a zero creation time (1904) is no date";
  EXPECT_EQ(renamed("v.avi", "f8.avi"), "(kept f8.avi)");
}

// Hand-made containers for what ffmpeg does not write: an AVI date chunk, boxes that lie about
// their sizes, and a movie cut short by the carving.
std::string Be32(uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Box(const std::string& type, const std::string& payload) {
  return Be32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}
std::string MovieHeader(uint32_t since1904) { return Box("mvhd", std::string(4, '\0') + Be32(since1904) + std::string(92, '\0')); }

TEST(VideoContainerTest, ReadsOnlyWhatLiesInsideTheFile) {
  TempDir dir;
  const auto facts = [&](const std::string& bytes) {
    WriteFile(dir / "v", bytes);
    return ReadVideoFacts(dir / "v");
  };
  const uint32_t june2019 = static_cast<uint32_t>(SecondsOfCivil(2019, 6, 1, 12, 22, 5) + 2'082'844'800);
  const StatedTime expected{SecondsOfCivil(2019, 6, 1, 12, 22, 5), 0};
  const std::string ftyp = Box("ftyp", "isom\0\0\0\0isom");
  EXPECT_EQ(facts(ftyp + Box("moov", MovieHeader(june2019))).time, expected);
  // A movie box cut short by the end of the file still gives the header it holds.
  const std::string whole = ftyp + Box("moov", MovieHeader(june2019) + Box("trak", std::string(4000, 'x')));
  EXPECT_EQ(facts(whole.substr(0, whole.size() - 3000)).time, expected);
  // A 64-bit size far past the end, a size smaller than its header, a header cut in two.
  EXPECT_FALSE(facts(ftyp + Be32(1) + "moov" + std::string(7, '\xFF') + "\xF0" + Box("mvhd", "")).time);
  EXPECT_FALSE(facts(ftyp + Be32(4) + "moov" + MovieHeader(june2019)).time);
  EXPECT_FALSE(facts(ftyp + Box("moov", Box("mvhd", std::string(6, '\0')))).time);
  // The user data text's stated length cannot reach past its box.
  const std::string longMake = Box("\xA9mak", Be32(0xFFFF0000) + "Canon");
  EXPECT_EQ(facts(ftyp + Box("moov", Box("udta", longMake))).text, u"") << "length 0xFFFF in a box of 5 bytes";

  // AVI: the camera's date chunk in the header list, in either form cameras write.
  const auto avi = [](const std::string& date) {
    const std::string idit = "IDIT" + Le32(static_cast<uint32_t>(date.size())) + date + (date.size() % 2 ? "\0" : "");
    const std::string hdrl = "LIST" + Le32(static_cast<uint32_t>(4 + idit.size())) + "hdrl" + idit;
    return "RIFF" + Le32(static_cast<uint32_t>(4 + hdrl.size())) + "AVI " + hdrl;
  };
  const StatedTime wall{SecondsOfCivil(2003, 3, 10, 15, 4, 43), std::nullopt};
  EXPECT_EQ(facts(avi(std::string("Mon Mar 10 15:04:43 2003\n\0", 26))).time, wall);
  EXPECT_EQ(facts(avi("2003:03:10 15:04:43")).time, wall);
  EXPECT_FALSE(facts(avi("Mon Mar 40 15:04:43 2003\n")).time);
  EXPECT_FALSE(facts("RIFF" + Le32(0xFFFFFFFF) + "AVI " + "LIST" + Le32(0xFFFFFFF0) + "hdrl").time);
}

TEST(MediaTimeTest, OnlyPlausibleTimesNameAFile) {
  const int64_t modified = SecondsOfCivil(2020, 1, 1, 0, 0, 0);
  const auto plausible = [&](int64_t clock, std::optional<int32_t> offset = std::nullopt) {
    return PlausibleMediaTime({clock, offset}, modified);
  };
  EXPECT_TRUE(plausible(SecondsOfCivil(1990, 1, 1, 0, 0, 0)));
  EXPECT_FALSE(plausible(SecondsOfCivil(1989, 12, 31, 23, 59, 59)));
  EXPECT_FALSE(plausible(SecondsOfCivil(2000, 1, 1, 12, 0, 0))) << "the whole reset day";
  EXPECT_TRUE(plausible(SecondsOfCivil(2000, 1, 2, 0, 0, 0)));
  EXPECT_FALSE(plausible(SecondsOfCivil(2001, 1, 1, 0, 0, 59)));
  EXPECT_TRUE(plausible(SecondsOfCivil(2001, 1, 1, 0, 1, 0)));
  EXPECT_TRUE(plausible(modified + 86'400));
  EXPECT_FALSE(plausible(modified + 86'401));
  // The moment counts: 08:00 at UTC+8 is midnight UTC.
  EXPECT_TRUE(plausible(modified + 86'400 + 8 * 3600, 8 * 3600));

  EXPECT_EQ(ParseDateTime("2019:02:29 10:00:00"), std::nullopt);
  EXPECT_EQ(ParseDateTime("0000:00:00 00:00:00"), std::nullopt);
  EXPECT_EQ(ParseDateTime("    :  :     :  :  "), std::nullopt);
  EXPECT_EQ(ParseDateTime("2020-02-29T23:59:59"), SecondsOfCivil(2020, 2, 29, 23, 59, 59));
  EXPECT_EQ(ParseUtcOffset("+05:45"), 5 * 3600 + 45 * 60);
  EXPECT_EQ(ParseUtcOffset("-0330"), -(3 * 3600 + 30 * 60));
  EXPECT_EQ(ParseUtcOffset(".123+01:00"), 3600);
  EXPECT_EQ(ParseUtcOffset("+15:00"), std::nullopt);
  EXPECT_EQ(ParseUtcOffset("   :  "), std::nullopt);
}

}  // namespace

// The damage checks on files written by real programs (ImageMagick, LibreOffice, zip, jar, gzip,
// lame), each intact and in the three ways carving spoils a file: cut short, overwritten in the
// middle by other data, and carved on past its end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "invalid_files/damage/FileSource.h"
#include "invalid_files/damage/IntegrityCheck.h"
#include "platform/FileOps.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using namespace testing;  // the archive builders

const fs::path kData = BRENVIK_TEST_DATA;

IntegrityVerdict CheckBytes(const TempDir& dir, const std::string& name, const std::string& bytes,
                            const std::atomic<int>* stop = nullptr) {
  const fs::path path = dir / name;
  WriteFile(path, bytes);
  const UniqueFd fd = OpenShared(path);
  return CheckIntegrity(fd.get(), static_cast<int64_t>(bytes.size()), name, stop);
}

std::string OtherData(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

struct Sample {
  fs::path file;
  std::string type;  // the reason's prefix
  double overwriteAt = 0.4;  // where the middle is overwritten, as a share of the file
  bool overwriteShows = true;  // raw pixels have no structure that could show it
};

const Sample kSamples[] = {
    {"damage/photo.jpg", "jpeg"},
    {"damage/progressive.jpg", "jpeg"},
    {"damage/picture.png", "png"},
    {"damage/picture.gif", "gif"},
    {"damage/picture.bmp", "bmp", 0.4, false},
    {"damage/song.mp3", "mp3"},
    {"damage/archive.zip", "zip"},
    {"damage/streamed.zip", "zip"},
    {"damage/zip64.zip", "zip"},
    {"damage/app.jar", "zip"},
    {"damage/report.odt", "zip"},
    {"extension/report.docx", "zip"},
    {"extension/table.xlsx", "zip"},
    {"extension/slides.pptx", "zip"},
    {"damage/notes.txt.gz", "gzip"},
    {"rename/report.pdf", "pdf"},
    {"damage/paper.pdf", "pdf"},
    {"extension/report.doc", "compound file", 0.1},
    {"extension/table.xls", "compound file"},
    // Most of this file is a thumbnail, whose contents are not checked; its own records are early.
    {"extension/slides.ppt", "compound file", 0.01},
};

TEST(DamageCheck, RealFilesAreWholeAndEveryKindOfCarvingDamageIsNamed) {
  TempDir dir;
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.file.string());
    const std::string whole = ReadFile(kData / sample.file);
    const std::string name = sample.file.filename().string();
    ASSERT_GT(whole.size(), 1000u);
    EXPECT_EQ(CheckBytes(dir, name, whole).state, Integrity::Whole) << CheckBytes(dir, name, whole).reason;

    const IntegrityVerdict cut = CheckBytes(dir, name, whole.substr(0, whole.size() * 3 / 5));
    EXPECT_EQ(cut.state, Integrity::Damaged);
    EXPECT_EQ(cut.reason.rfind(sample.type + ": ", 0), 0u) << cut.reason;

    if (sample.overwriteShows) {
      std::string overwritten = whole;
      const size_t at = static_cast<size_t>(static_cast<double>(whole.size()) * sample.overwriteAt);
      overwritten.replace(at, whole.size() / 4, OtherData(whole.size() / 4, 1));
      const IntegrityVerdict damaged = CheckBytes(dir, name, overwritten);
      EXPECT_EQ(damaged.state, Integrity::Damaged) << damaged.reason;
      EXPECT_EQ(damaged.reason.rfind(sample.type + ": ", 0), 0u) << damaged.reason;
    }

    const IntegrityVerdict tail = CheckBytes(dir, name, whole + OtherData(5000, 2));
    EXPECT_EQ(tail.state, Integrity::Tail) << tail.reason;
    EXPECT_EQ(tail.reason, "5000 bytes after the end");
    EXPECT_EQ(tail.end, static_cast<int64_t>(whole.size()));
  }
}

// What a carving tool really hands over: each overwritten or cut carving is damaged, and each
// carving of a whole file runs on into the rest of its last cluster.
TEST(DamageCheck, RealCarvingsAreToldApart) {
  const struct {
    const char* file;
    Integrity state;
    const char* reason;
  } kCarvings[] = {
      {"overwritten-picture.png", Integrity::Damaged, "png: bad adaptive filter value"},
      {"overwritten-app.jar", Integrity::Damaged, "zip: entry docs/notes2.txt data damaged"},
      {"overwritten-report.odt", Integrity::Damaged, "zip: entry Thumbnails/thumbnail.png CRC error"},
      {"cut-song.mp3", Integrity::Damaged, "mp3: audio ends before the length its first frame states"},
      {"tail-photo.jpg", Integrity::Tail, "334 bytes after the end"},
      {"tail-notes.txt.gz", Integrity::Tail, "32 bytes after the end"},
      {"tail-report.pdf", Integrity::Tail, "267 bytes after the end"},
      {"tail-report.docx", Integrity::Tail, "381 bytes after the end"},
  };
  for (const auto& carving : kCarvings) {
    SCOPED_TRACE(carving.file);
    const fs::path path = kData / "carved" / carving.file;
    const UniqueFd fd = OpenShared(path);
    const IntegrityVerdict verdict = CheckIntegrity(fd.get(), static_cast<int64_t>(fs::file_size(path)), carving.file, nullptr);
    EXPECT_EQ(verdict.state, carving.state);
    EXPECT_EQ(verdict.reason, carving.reason);
  }
}

// No RAR archiver is free software, so the archives are laid out here: an entry stored without
// compression, whose data CRC the check can see.
std::string Rar4Stored(const std::string& data) {
  const std::string name = "notes.txt";
  const std::string fields = Le32Bytes(static_cast<uint32_t>(data.size())) + Le32Bytes(static_cast<uint32_t>(data.size())) +
                             std::string(1, '\x02') + Le32Bytes(CrcOf(data)) + Le32Bytes(0x3C6A5A21) + "\x1D\x30" +
                             Le16Bytes(static_cast<uint16_t>(name.size())) + Le32Bytes(0x20) + name;
  return kRar4Signature + Rar4MainHeader() + Rar4Block(0x74, 0x8000, fields) + data + Rar4EndBlock();
}

std::string Rar5Stored(const std::string& data) {
  const std::string name = "notes.txt";
  const std::string fields = Vint(data.size()) + Vint(0x02 | 0x04) + Vint(data.size()) + Vint(0x20) +
                             Le32Bytes(0x5F000000) + Le32Bytes(CrcOf(data)) + Vint(0) + Vint(0) + Vint(name.size()) + name;
  return kRar5Signature + Rar5MainHeader() + Rar5Header(2, 0x02, fields) + data + Rar5EndHeader();
}

TEST(DamageCheck, RarHeadersAndStoredDataAreChecked) {
  TempDir dir;
  const std::string data = OtherData(3000, 3);
  for (const std::string& whole : {Rar4Stored(data), Rar5Stored(data)}) {
    EXPECT_EQ(CheckBytes(dir, "a.rar", whole).state, Integrity::Whole) << CheckBytes(dir, "a.rar", whole).reason;
    EXPECT_EQ(CheckBytes(dir, "a.rar", whole.substr(0, whole.size() / 2)).reason, "rar: data ends inside an entry");
    std::string overwritten = whole;
    overwritten.replace(whole.size() / 2, 100, OtherData(100, 4));
    EXPECT_EQ(CheckBytes(dir, "a.rar", overwritten).reason, "rar: stored entry 1 CRC error");
    std::string header = whole;
    header[header.size() - data.size() - 12] ^= 0x55;  // inside the file header
    EXPECT_EQ(CheckBytes(dir, "a.rar", header).state, Integrity::Damaged);
    EXPECT_EQ(CheckBytes(dir, "a.rar", whole + "tail").reason, "4 bytes after the end");
  }
}

// What the checks cannot read is no proof of damage: valid files of other audio formats behind an
// ID3 tag, free-format MP3, pictures the JPEG library does not decode, RAR archives whose headers
// are encrypted, text that starts like a format, and a hostile progressive JPEG that repeats its
// last scan a thousand times are all left unjudged.
TEST(DamageCheck, WhatCannotBeReadIsNotJudged) {
  TempDir dir;
  for (const std::string name : {"tone.aac", "tagged.flac", "free.mp3"}) {
    const IntegrityVerdict verdict = CheckBytes(dir, name, ReadFile(kData / "damage" / name));
    EXPECT_EQ(verdict.state, Integrity::Unjudged) << name << ": " << verdict.reason;
  }
  for (const std::string text : {"ID3 tags name the artist of a song.\n", "GIF89a is the format of this picture.\n",
                                 "%PDF- files are documents; %PDF-1.4 is one version.\n", "%PDF-1.7\nA note.\n"})
    EXPECT_EQ(CheckBytes(dir, "note.txt", text + std::string(3000, 'x')).state, Integrity::Unjudged) << text;

  const std::string photo = ReadFile(kData / "damage/photo.jpg");
  const size_t frame = photo.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  std::string twelveBit = photo, lossless = photo, tooWide = photo;
  twelveBit[frame + 4] = 12;
  lossless[frame + 1] = '\xC3';
  tooWide[frame + 7] = tooWide[frame + 8] = '\xFF';
  for (const std::string& picture : {twelveBit, lossless, tooWide})
    EXPECT_EQ(CheckBytes(dir, "a.jpg", picture).state, Integrity::Unjudged) << CheckBytes(dir, "a.jpg", picture).reason;

  const std::string progressive = ReadFile(kData / "damage/progressive.jpg");
  const size_t lastScan = progressive.rfind("\xFF\xDA"), end = progressive.rfind("\xFF\xD9");
  ASSERT_LT(lastScan, end);
  std::string manyScans = progressive.substr(0, end);
  for (int i = 0; i < 1000; ++i) manyScans += progressive.substr(lastScan, end - lastScan);
  EXPECT_EQ(CheckBytes(dir, "a.jpg", manyScans + "\xFF\xD9").state, Integrity::Unjudged);

  // With a password on the names, RAR 4 marks its main header and RAR 5 puts an encryption header
  // first; every header after that looks random.
  const std::string rar4 = kRar4Signature + Rar4Block(0x73, 0x0080, std::string(6, '\0')) + OtherData(500, 8);
  const std::string rar5 = kRar5Signature + Rar5Header(4, 0, Vint(0) + Vint(0) + "\x0F" + OtherData(16, 9)) + OtherData(500, 8);
  for (const std::string& archive : {rar4, rar5})
    EXPECT_EQ(CheckBytes(dir, "a.rar", archive).state, Integrity::Unjudged) << CheckBytes(dir, "a.rar", archive).reason;
  // Without the flag the same bytes are damaged headers.
  EXPECT_EQ(CheckBytes(dir, "a.rar", kRar4Signature + Rar4MainHeader() + OtherData(500, 8)).state, Integrity::Damaged);
}

TEST(DamageCheck, OnlyKnownStructuresAreJudgedAndStopLeavesAFileUnjudged) {
  TempDir dir;
  // Text, even text that starts like a bitmap, and data without a known start are not judged.
  EXPECT_EQ(CheckBytes(dir, "notes.txt", "Meeting notes\n" + std::string(5000, 'x')).state, Integrity::Unjudged);
  EXPECT_EQ(CheckBytes(dir, "bm.txt", "BM was here, and more text follows.").state, Integrity::Unjudged);
  EXPECT_EQ(CheckBytes(dir, "x.bin", OtherData(9000, 5)).state, Integrity::Unjudged);
  EXPECT_EQ(CheckBytes(dir, "empty.jpg", "").state, Integrity::Unjudged);
  // A bare frame sync is an MP3 only by its name.
  const std::string song = ReadFile(kData / "damage/song.mp3");
  const std::string frames = song.substr(song.find("\xFF\xFB"));
  EXPECT_EQ(CheckBytes(dir, "tone.mp3", frames).state, Integrity::Whole);
  EXPECT_EQ(CheckBytes(dir, "tone.bin", frames).state, Integrity::Unjudged);

  const std::atomic<int> stop{1};
  EXPECT_EQ(CheckBytes(dir, "a.zip", ReadFile(kData / "damage/archive.zip"), &stop).state, Integrity::Unjudged);
  EXPECT_EQ(CheckBytes(dir, "a.jpg", ReadFile(kData / "damage/photo.jpg"), &stop).state, Integrity::Unjudged);
}

// The zip and PDF checks search back from the end and jump between a table and its objects: the
// window must hand out the file's own bytes whichever way it moves, up to the file's edges.
TEST(DamageCheck, TheWindowHandsOutTheFilesBytesBackwardsAndForwards) {
  TempDir dir;
  const std::string bytes = OtherData(damage::WindowReader::kWindow * 2 + 777, 9);
  WriteFile(dir / "data.bin", bytes);
  const UniqueFd fd = OpenShared(dir / "data.bin");
  const damage::FileSource file{fd.get(), static_cast<int64_t>(bytes.size()), nullptr};
  damage::WindowReader window(file);
  const auto expectAt = [&](int64_t offset, size_t count) {
    const uint8_t* got = window.At(offset, count);
    ASSERT_NE(got, nullptr) << offset;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got), count), bytes.substr(static_cast<size_t>(offset), count))
        << offset;
  };
  for (int64_t at = static_cast<int64_t>(bytes.size()) - 22; at >= static_cast<int64_t>(bytes.size()) - 70000; at -= 7)
    expectAt(at, 22);
  expectAt(0, 64);
  expectAt(static_cast<int64_t>(bytes.size()) - 64, 64);
  expectAt(10, 20);  // back to the start after the end
  std::mt19937 random(3);
  for (int i = 0; i < 200; ++i) expectAt(static_cast<int64_t>(random() % (bytes.size() - 4096)), 1 + random() % 4096);
  EXPECT_EQ(window.At(static_cast<int64_t>(bytes.size()) - 10, 20), nullptr);
  EXPECT_EQ(window.At(-1, 4), nullptr);
}

TEST(DamageCheck, AZipBombInflatesNoFurtherThanItsBudget) {
  TempDir dir;
  // 160 MB of zeros in one entry: its stated size is honoured, and the budget for a small archive
  // ends the inflating long before, leaving the file unjudged rather than damaged.
  const fs::path source = dir / "zeros";
  {
    const UniqueFd fd(::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ASSERT_EQ(::ftruncate(fd.get(), 160 << 20), 0);
  }
  ASSERT_EQ(std::system(("cd " + dir.path().string() + " && zip -q -9 bomb.zip zeros").c_str()), 0);
  const std::string bomb = ReadFile(dir / "bomb.zip");
  EXPECT_LT(bomb.size(), 1u << 20);
  EXPECT_EQ(CheckBytes(dir, "bomb.zip", bomb).state, Integrity::Unjudged);
}

// A carving of an MP3 cut at a frame boundary and run on into other data has a whole frame chain:
// only the frame count its encoder wrote into the Info frame tells it from a whole song with a
// tail. Without other data after it, such a song is left whole, as an edited song would be.
TEST(DamageCheck, AnMp3CutAtAFrameBoundaryFallsShortOfItsStatedLength) {
  TempDir dir;
  const std::string song = ReadFile(kData / "damage/song.mp3");
  const size_t first = song.find("Info") - 4 - 9;  // the Info frame of this mono MPEG-2 song
  ASSERT_EQ(static_cast<uint8_t>(song[first]), 0xFF);
  size_t boundary = song.size() / 2;
  while (song.compare(boundary, 2, song, first, 2) != 0 || (song[boundary + 2] & 0xF0) != (song[first + 2] & 0xF0))
    ++boundary;
  const IntegrityVerdict cut = CheckBytes(dir, "song.mp3", song.substr(0, boundary) + OtherData(3000, 7));
  EXPECT_EQ(cut.reason, "mp3: audio ends before the length its first frame states");
  EXPECT_EQ(CheckBytes(dir, "song.mp3", song.substr(0, boundary)).state, Integrity::Whole);
}

// Other data over a deflate stream can make a block header say "last block": the stream then ends
// cleanly before the entry's stated size, and the zip reader checks no CRC for it (a real carving
// of a zip holding a PNG showed this). The stream here is laid out by hand as two stored blocks.
TEST(DamageCheck, AZipEntryWhoseStreamEndsBeforeItsStatedSizeIsDamaged) {
  TempDir dir;
  const std::string first = OtherData(3000, 5), second = OtherData(2000, 6);
  const auto storedBlock = [](bool last, const std::string& data) {
    const auto length = static_cast<uint16_t>(data.size());
    return std::string(1, last ? '\x01' : '\x00') + Le16Bytes(length) + Le16Bytes(static_cast<uint16_t>(~length)) + data;
  };
  const auto zipWithStream = [&](const std::string& stream) {
    const fs::path path = dir / "made.zip";
    fs::remove(path);
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    zip_fileinfo info{};
    EXPECT_EQ(zipOpenNewFileInZip2(zip, "data.bin", &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 1), ZIP_OK);
    zipWriteInFileInZip(zip, stream.data(), static_cast<unsigned>(stream.size()));
    zipCloseFileInZipRaw(zip, static_cast<uLong>(first.size() + second.size()), CrcOf(first + second));
    zipClose(zip, nullptr);
    return ReadFile(path);
  };
  EXPECT_EQ(CheckBytes(dir, "a.zip", zipWithStream(storedBlock(false, first) + storedBlock(true, second))).state,
            Integrity::Whole);
  EXPECT_EQ(CheckBytes(dir, "a.zip", zipWithStream(storedBlock(true, first) + storedBlock(true, second))).reason,
            "zip: entry data.bin data damaged");
}

}  // namespace
}  // namespace brenvik

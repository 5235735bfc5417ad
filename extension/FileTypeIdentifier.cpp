#include "extension/FileTypeIdentifier.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/FileSignatures.h"
#include "extension/FurtherFileTypes.h"
#include "readers/ZipDirectory.h"

namespace brenvik {

namespace {

constexpr size_t kLocalHeaderWindow = 256;
constexpr size_t kResyncWindow = 8192;
constexpr size_t kResyncLastStart = 8161;  // a header found later would not fit the window
constexpr uint16_t kLongestEntryName = 128;

// True when the bytes at `offset` of a buffer are `text` (ASCII or raw bytes).
bool BytesAre(const uint8_t* buffer, size_t offset, std::string_view text) {
  return std::memcmp(buffer + offset, text.data(), text.size()) == 0;
}

bool IsLocalHeader(const uint8_t* at) {
  return Matches(std::span(at, signature::kZipLocalHeader.bytes.size()), signature::kZipLocalHeader);
}

// The Office main part named by a local header, if any. PowerPoint packages are known by
// "ppt/viewProps.xml", which not every office suite writes, or by "ppt/presentation.xml".
int OfficePartOf(const uint8_t* h) {
  const uint16_t nameLength = LoadU16(h + 26);
  if (nameLength == 17 && BytesAre(h, 30, "word/document.xm")) return kZipWord;
  if (nameLength == 17 && BytesAre(h, 30, "ppt/viewProps.xm")) return kZipPowerPoint;
  if (nameLength == 15 && BytesAre(h, 30, "xl/workbook.")) return kZipExcel;
  if (nameLength == 20 && BytesAre(h, 30, "ppt/presentation.xml")) return kZipPowerPoint;
  return kZipUnknown;
}

// The signature rows that come before the compound-file probe.
std::string_view MatchLeadingSignatures(const uint8_t* header) {
  using namespace signature;
  const std::span<const uint8_t> b(header, kIdentifyHeaderSize);
  if (Matches(b, kJpegExif) || Matches(b, kJpegJfif)) return "jpg";
  if (Matches(b, kPngStart)) return "png";
  if (Matches(b, kGif)) return "gif";
  if (Matches(b, kTiffLittleEndian)) return "cr2";  // every little-endian TIFF structure
  if (Matches(b, kAutoCad)) return "dwg";
  if (Matches(b, kBmp)) return "bmp";
  if (Matches(b, kDicom)) return "dcm";
  if (Matches(b, kPhotoshop)) return "psd";
  if (Matches(b, kTiffBigEndian)) return "nef";  // every big-endian TIFF structure
  if (Matches(b, kRiff)) {
    if (Matches(b, kAvi)) return "avi";
    if (Matches(b, kWave)) return "wav";
    return "cdr";
  }
  if (Matches(b, kEpsBinary)) return "ai";
  if (Matches(b, kCanonCrw)) return "crw";
  if (Matches(b, kFujiRaw)) return "raf";
  if (Matches(b, kRtf)) return "rtf";
  if (Matches(b, kPdf)) return "pdf";
  return {};
}

// The signature rows that come after the two probes.
std::string_view MatchTrailingSignatures(const uint8_t* header) {
  using namespace signature;
  const std::span<const uint8_t> b(header, kIdentifyHeaderSize);
  if (Matches(b, kJetDatabase) && Matches(b, kAceEngine)) return "mdb";
  if (Matches(b, kJetDatabase) && Matches(b, kJetEngine)) return "accdb";
  if (Matches(b, kHtmlHelp)) return "chm";
  if (b[0] == 0x01 && b[1] == 0x0F && LoadU32(header + 24) == 99) {
    if (LoadU16(header + 22) == 1) return "mdf";
    if (LoadU16(header + 22) == 2) return "ldf";
  }
  if (IsLocalHeader(header) && !BytesAre(header, 30, "[Content_Types].xm")) return "zip";
  if (Matches(b, kRar)) return "rar";
  if (Matches(b, kSevenZip)) return "7z";
  if (Matches(b, kId3) || IsMpegAudioFrameStart(b)) return "mp3";
  if (Matches(b, kAmr)) return "amr";
  if (Matches(b, kIsoMediaType) || Matches(b, kIsoMediaData) || Matches(b, kIsoMediaSkip)) return "mp4";
  if (Matches(b, kFlash)) return "swf";
  if (Matches(b, kAsf)) return "asf";
  if (Matches(b, kFlashVideo)) return "flv";
  if (Matches(b, kDosProgram)) return "dll";
  return {};
}

// Serves the zip probe's reads from a window of the file, so walking the headers at the start of a
// package costs a read or two. The window starts out holding the bytes the caller has read already;
// a read that runs past its end appends what is missing (the bytes already held are not read
// again), and a read elsewhere moves it. A length the caller does not know is learnt from a short
// read, so no probe needs to ask for it.
class FileWindow {
 public:
  // `start` holds the file's first bytes (at least kIdentifyHeaderSize of them, or the whole file);
  // `length` is the file's length, negative when unknown.
  FileWindow(int fd, std::span<const uint8_t> start, int64_t length)
      : fd_(fd), buffer_(start.begin(), start.end()), filled_(static_cast<int64_t>(start.size())), length_(length) {
    if (start.size() < kIdentifyHeaderSize) length_ = filled_;
  }

  // `size` bytes at `offset` into `out`, zero beyond the end of the file. The number of them that
  // lie inside the file, or -1 on a read error.
  int64_t read(int64_t offset, size_t size, uint8_t* out) {
    const int64_t end = offset + static_cast<int64_t>(size);
    const int64_t windowEnd = start_ + filled_;
    if (offset < start_ || (end > windowEnd && !endHeld())) {
      const bool ok = offset >= start_ && offset <= windowEnd && end - start_ <= kLongestWindow
                          ? append(std::max(end - windowEnd, kGrowSize))
                          // A scan that runs off the window finds its header at most a header's
                          // fields before the bytes it asked for; keep those in the new window so
                          // reading that header needs no read.
                          : replace(std::max<int64_t>(0, offset - kBackMargin),
                                    std::max<int64_t>(static_cast<int64_t>(size) + kBackMargin, kRefillSize));
      if (!ok) return -1;
    }
    const int64_t available =
        std::clamp<int64_t>(start_ + filled_ - offset, 0, static_cast<int64_t>(size));
    if (available > 0) std::memcpy(out, buffer_.data() + (offset - start_), static_cast<size_t>(available));
    std::memset(out + available, 0, size - static_cast<size_t>(available));
    return available;
  }

 private:
  // Appending keeps growing the window while the probe walks the headers near the start of a
  // package; a read past this moves the window instead.
  static constexpr int64_t kLongestWindow = 16384;
  static constexpr int64_t kGrowSize = 1024;
  static constexpr int64_t kRefillSize = 4096;
  static constexpr int64_t kBackMargin = 64;

  bool endHeld() const { return length_ >= 0 && start_ + filled_ >= length_; }

  // Never asks past a known end of the file: the read would only come back empty.
  int64_t wantedFrom(int64_t from, int64_t wanted) const {
    return length_ >= 0 ? std::clamp<int64_t>(length_ - from, 0, wanted) : wanted;
  }

  // Reads `wanted` bytes at `from` into the buffer from `at` on; a short read marks the file's end.
  bool load(int64_t from, size_t at, int64_t wanted) {
    buffer_.resize(at + static_cast<size_t>(wanted));
    const int64_t got = wanted > 0 ? ReadAt(fd_, buffer_.data() + at, static_cast<size_t>(wanted), from) : 0;
    if (got < 0) return false;
    buffer_.resize(at + static_cast<size_t>(got));
    if (got < wanted) length_ = from + got;
    return true;
  }

  bool append(int64_t wanted) {
    const int64_t from = start_ + filled_;
    if (!load(from, static_cast<size_t>(filled_), wantedFrom(from, wanted))) return false;
    filled_ = static_cast<int64_t>(buffer_.size());
    return true;
  }

  bool replace(int64_t from, int64_t wanted) {
    if (!load(from, 0, wantedFrom(from, wanted))) return false;
    start_ = from;
    filled_ = static_cast<int64_t>(buffer_.size());
    return true;
  }

  int fd_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;
  int64_t filled_ = 0;
  int64_t length_;  // negative: unknown until a read comes back short
};

// The offset (1 to 8161) of the first usable local header in the 8192 bytes from `position`
// (zero beyond the end of the file), or 0 when there is none or a read fails. The bytes are
// fetched as the scan goes, so a header met early costs no more reading.
int64_t FindNextLocalHeader(FileWindow& file, int64_t position) {
  uint8_t window[kResyncWindow];
  size_t loaded = 0;
  constexpr size_t kHeaderFieldsEnd = 28;  // a header is judged on its first 28 bytes
  for (size_t i = 1; i <= kResyncLastStart;) {
    if (i + kHeaderFieldsEnd > loaded) {
      const size_t next =
          std::min(kResyncWindow, std::max(i + kHeaderFieldsEnd, loaded + kLocalHeaderWindow));
      if (file.read(position + static_cast<int64_t>(loaded), next - loaded, window + loaded) < 0) return 0;
      loaded = next;
    }
    // Only a 'P' can start a header: jump from one to the next among the starts judged so far.
    const size_t last = std::min(kResyncLastStart, loaded - kHeaderFieldsEnd);
    const void* p = std::memchr(window + i, signature::kZipLocalHeader.bytes[0], last - i + 1);
    if (p == nullptr) {
      i = last + 1;
      continue;
    }
    i = static_cast<size_t>(static_cast<const uint8_t*>(p) - window);
    if (IsLocalHeader(window + i) && LoadU16(window + i + 26) <= kLongestEntryName) return static_cast<int64_t>(i);
    ++i;
  }
  return 0;
}

}  // namespace

int ProbeZipPackage(int fd, std::span<const uint8_t> start, int64_t length) {
  uint8_t h[kLocalHeaderWindow] = {};
  std::memcpy(h, start.data(), std::min(sizeof h, start.size()));
  // The first header must be usable: no scanning for a start.
  if (!IsLocalHeader(h) || LoadU16(h + 26) > kLongestEntryName) return kZipUnknown;

  FileWindow file(fd, start, length);
  int64_t position = 0;
  for (;;) {
    if (IsLocalHeader(h) && LoadU16(h + 26) <= kLongestEntryName) {
      if (const int part = OfficePartOf(h); part != kZipUnknown) return part;
      position += 30 + int64_t{LoadU16(h + 26)} + LoadU16(h + 28) + int64_t{LoadU32(h + 18)};
    } else {
      // Not a usable header here (the entry's sizes were in a trailing data descriptor, or
      // its counted data was wrong): scan forward for the next one.
      const int64_t found = FindNextLocalHeader(file, position);
      if (found == 0) return kZipUnknown;
      position += found;
    }
    // A header the file cannot hold whole ends the walk.
    if (file.read(position, sizeof h, h) != static_cast<int64_t>(sizeof h)) return kZipUnknown;
  }
}

namespace {

// The types the two probes and the signature rows give a file whose first bytes are in `start`
// (`header` holds them zero-filled to kIdentifyHeaderSize).
std::string_view TypeFromFirstBytes(const UniqueFd& file, const uint8_t (&header)[kIdentifyHeaderSize],
                                    std::span<const uint8_t> start, int64_t length) {
  if (IsLocalHeader(header) && file) {
    switch (ProbeZipPackage(file.get(), start, length)) {
      case kZipWord: return "docx";
      case kZipExcel: return "xlsx";
      case kZipPowerPoint: return "pptx";
      default: break;
    }
  }
  return MatchTrailingSignatures(header);
}

// A small zip read whole at once, since both the local-header probe and the package's directory
// want its bytes; empty for any other file.
std::vector<uint8_t> SmallPackageBytes(int fd, const uint8_t* header, size_t headerBytes, int64_t length) {
  std::vector<uint8_t> bytes;
  if (fd < 0 || !IsLocalHeader(header) || length <= static_cast<int64_t>(headerBytes) || length > kZipTailRead)
    return bytes;
  bytes.assign(header, header + headerBytes);
  bytes.resize(static_cast<size_t>(length));
  const int64_t rest = length - static_cast<int64_t>(headerBytes);
  const int64_t got = ReadAt(fd, bytes.data() + headerBytes, static_cast<size_t>(rest), static_cast<int64_t>(headerBytes));
  bytes.resize(headerBytes + static_cast<size_t>(std::max<int64_t>(got, 0)));
  return bytes;
}

// `length` is the file's length, negative when unknown.
FileType IdentifyByContent(UniqueFd file, int64_t length, const uint8_t (&header)[kIdentifyHeaderSize],
                           size_t headerBytes, DocumentReader& reader) {
  if (const std::string_view type = MatchLeadingSignatures(header); !type.empty()) return FileTypeOf(type);

  if (Matches(std::span<const uint8_t>(header), signature::kCompoundFile)) {
    // The probe closes the file; a compound file never starts like a zip, so the zip probe
    // below has nothing to reopen it for.
    const int probed = reader.ProbeCompoundFile(std::move(file), header, length);
    const std::string_view word = reader.wordInfo.isTemplate ? "dot" : "doc";
    switch (probed) {
      case DocumentReader::kProbeUnknown: break;
      case DocumentReader::kProbeWord:
      case DocumentReader::kProbeExcel:
      case DocumentReader::kProbePowerPoint:
        // The top streams say which application the file is; the probe's stream may be an
        // embedded object's.
        switch (reader.topApplication) {
          case CompoundApplication::Word: return FileTypeOf(word);
          case CompoundApplication::Excel: return FileTypeOf("xls");
          case CompoundApplication::PowerPoint: return FileTypeOf("ppt");
          case CompoundApplication::Message: return FileTypeOf("msg");
          case CompoundApplication::Unknown: break;
        }
        return AnyCompoundFileType(probed == DocumentReader::kProbeWord    ? word
                                   : probed == DocumentReader::kProbeExcel ? "xls"
                                                                           : "ppt");
      default: return {};  // the header is not valid: nothing later may claim the file
    }
  }

  const std::vector<uint8_t> smallPackage = SmallPackageBytes(file ? file.get() : -1, header, headerBytes, length);
  const std::span<const uint8_t> start =
      smallPackage.empty() ? std::span<const uint8_t>(header, headerBytes) : std::span<const uint8_t>(smallPackage);
  const std::string_view type = TypeFromFirstBytes(file, header, start, length);
  const bool package = type == "zip" || type == "docx" || type == "xlsx" || type == "pptx";
  if (package && file && !reader.stopRequested()) return PackageType(file.get(), type, start, length);
  if (!type.empty()) return FileTypeOf(type);
  // Only what the table does not identify is asked about the further types.
  return FurtherFileType(file ? file.get() : -1, length, header, headerBytes);
}

// `length` (negative when unknown) spares a file shorter than its header the read that would
// only come back empty.
FileType IdentifyFromStart(UniqueFd file, int64_t length, DocumentReader& reader) {
  if (!file) return {};
  if (length < 0) length = FileSize(file.get());
  uint8_t header[kIdentifyHeaderSize] = {};
  const size_t wanted = static_cast<size_t>(std::clamp<int64_t>(length, 0, kIdentifyHeaderSize));
  int64_t got = wanted == 0 ? 0 : ReadAt(file.get(), header, wanted, 0);
  if (got < 0) {
    std::memset(header, 0, sizeof header);
    got = 0;
  }
  // A file that shrank since it was looked at ends where the read ended.
  if (static_cast<size_t>(got) < wanted) length = got;
  return IdentifyByContent(std::move(file), length, header, static_cast<size_t>(got), reader);
}

}  // namespace

FileType IdentifyOpenFile(UniqueFd file, const uint8_t (&header)[kIdentifyHeaderSize], DocumentReader& reader) {
  const int64_t length = file ? FileSize(file.get()) : 0;
  const size_t headerBytes = static_cast<size_t>(std::clamp<int64_t>(length, 0, kIdentifyHeaderSize));
  return IdentifyByContent(std::move(file), length, header, headerBytes, reader);
}

FileType IdentifyFileType(const std::filesystem::path& path, DocumentReader& reader) {
  return IdentifyFromStart(OpenShared(path), -1, reader);
}

FileType IdentifyFileTypeAt(int folderFd, const char* name, DocumentReader& reader, FileIdentity* judged) {
  UniqueFd file = OpenSharedAt(folderFd, name);
  int64_t length = -1;
  const FileIdentity identity = file ? IdentityOf(file.get(), length) : FileIdentity{};
  if (judged != nullptr) *judged = identity;
  return IdentifyFromStart(std::move(file), length, reader);
}

}  // namespace brenvik

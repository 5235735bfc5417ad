#include "invalid_files/InvalidFileDetector.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "core/FileSignatures.h"
#include "invalid_files/damage/IntegrityCheck.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

constexpr int64_t kBlockSize = 512;
constexpr int64_t kChunkSize = 1024 * 1024;

char16_t LowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

enum class SignatureGroup { None, Image, Document, Archive, Media };

bool InList(std::u16string_view extension, std::initializer_list<std::u16string_view> list) {
  return std::find(list.begin(), list.end(), extension) != list.end();
}

// Tested in this order, the first hit deciding (so pdf belongs to the image group).
SignatureGroup GroupOf(std::u16string_view extension) {
  if (InList(extension, {u"jpg", u"png", u"gif", u"cr2", u"dwg", u"bmp", u"dcm", u"psd", u"tif", u"tiff", u"nef",
                         u"dng", u"cdr", u"ai", u"crw", u"raf", u"pdf"}))
    return SignatureGroup::Image;
  if (InList(extension, {u"rtf", u"pdf", u"doc", u"xls", u"ppt", u"docx", u"xlsx", u"pptx", u"mdb", u"accdb"}))
    return SignatureGroup::Document;
  if (InList(extension, {u"rar", u"zip", u"7z"})) return SignatureGroup::Archive;
  if (InList(extension, {u"mp3", u"wav", u"amr", u"mp4", u"mov", u"swf", u"asf", u"3gp", u"flv", u"avi", u"mxf"}))
    return SignatureGroup::Media;
  return SignatureGroup::None;
}

// Reads up to `size` bytes at `offset`; whatever a short read or an error leaves unread is zero.
void ReadZeroPadded(int fd, uint8_t* buffer, size_t size, int64_t offset) {
  const int64_t got = ReadAt(fd, buffer, size, offset);
  const size_t kept = got > 0 ? static_cast<size_t>(got) : 0;
  std::memset(buffer + kept, 0, size - kept);
}

}  // namespace

std::u16string_view StatusText(Verdict verdict) {
  switch (verdict) {
    case Verdict::Char: return u"char";
    case Verdict::Type: return u"type";
    case Verdict::Content: return u"content";
    case Verdict::Size: return u"size";
    case Verdict::Damaged: return u"damaged";
    case Verdict::Tail: return u"tail";
    case Verdict::Duplicate: return u"duplicate";
    case Verdict::Thumbnail: return u"thumbnail";
    case Verdict::Valid: break;
  }
  return {};
}

NameRule::NameRule(Kind kind, std::u16string_view text) : kind(kind), pattern(text) {
  std::transform(pattern.begin(), pattern.end(), pattern.begin(), LowerAscii);
}

std::u16string LowerCaseName(std::string_view pathBytes) {
  const size_t slash = pathBytes.rfind('/');
  std::u16string name = BytesToText(slash == std::string_view::npos ? pathBytes : pathBytes.substr(slash + 1));
  std::transform(name.begin(), name.end(), name.begin(), LowerAscii);
  return name;
}

std::u16string_view ExtensionOf(std::u16string_view name) {
  const size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

bool ImageSignatureTest(const HeadBytes& h) {
  using namespace signature;
  return Matches(h, kJpeg) || Matches(h, kPngStart) || Matches(h, kGif) || Matches(h, kTiffLittleEndian) ||
         (Matches(h, kTiffBigEndianOrder) && h[3] == 0x2A) || Matches(h, kAutoCad) || Matches(h, kBmp) ||
         Matches(h, kDicom) || Matches(h, kPhotoshop) || Matches(h, kRiff) || Matches(h, kZipLocalHeader) ||
         Matches(h, kEpsBinary) || Matches(h, kCanonCrw) || Matches(h, kFujiRaw) || Matches(h, kPdf);
}

bool DocumentSignatureTest(const HeadBytes& h) {
  using namespace signature;
  return Matches(h, kRtf) || Matches(h, kPdf) || Matches(h, kCompoundFile) || Matches(h, kZipLocalHeader) ||
         Matches(h, kJetDatabase);
}

bool ArchiveSignatureTest(const HeadBytes& h) {
  using namespace signature;
  return Matches(h, kRar) || Matches(h, kZipLocalHeader) || Matches(h, kSevenZip);
}

bool MediaSignatureTest(const HeadBytes& h) {
  using namespace signature;
  if (Matches(h, kId3Mark)) {
    if (Matches(h, kId3)) return true;
    // Any other byte after "ID": the MPEG frame line is not tried.
  } else if (IsMpegAudioFrameStart(h)) {
    return true;
  }
  return Matches(h, kRiff) || Matches(h, kAmr) || Matches(h, kIsoMediaType) || Matches(h, kIsoMediaData) ||
         Matches(h, kIsoMediaSkip) || Matches(h, kQuickTimeWide) || Matches(h, kQuickTimeFree) ||
         Matches(h, kFlash) || Matches(h, kAsf) || Matches(h, kFlashVideo) || Matches(h, kMxf);
}

bool InvalidFileDetector::HasCriterion() const {
  return sizeTestOn || contentTestOn || damageTestOn || duplicatesOn || thumbnailsOn || !nameRules.empty() ||
         !extensions.empty();
}

ScanResult InvalidFileDetector::ClassifyAt(int folderFd, std::string_view name, Scratch& scratch,
                                           const std::atomic<int>* stop) const {
  int64_t size = 0;
  FileIdentity identity;
  const UniqueFd fd = OpenRegularFileAt(folderFd, name, size, identity);
  return JudgeOpened(fd, size, name, scratch, stop, identity);
}

ScanResult InvalidFileDetector::JudgeOpened(const UniqueFd& fd, int64_t size, std::string_view name,
                                            Scratch& scratch, const std::atomic<int>* stop,
                                            FileIdentity identity) const {
  ScanResult result;
  if (!fd) return result;
  result.size = size;
  result.verdict = Judge(fd.get(), size, name, scratch, stop, result.reason);
  const bool twins = result.verdict == Verdict::Valid && size > 0 && (duplicatesOn || thumbnailsOn);
  if (result.verdict != Verdict::Valid || twins) result.identity = identity.known() ? identity : IdentityOf(fd.get());
  if (twins) result.twin = CollectTwinFacts(fd.get(), size, duplicatesOn, thumbnailsOn);
  return result;
}

Verdict InvalidFileDetector::Judge(int fd, int64_t size, std::string_view name, Scratch& scratch,
                                   const std::atomic<int>* stop, std::u16string& reason) const {
  if (sizeTestOn && sizeMinimum <= size && size <= sizeMaximum) return Verdict::Size;
  if (!nameRules.empty() || !extensions.empty()) {
    const std::u16string lowerName = LowerCaseName(name);
    if (MatchesNameRule(lowerName)) return Verdict::Char;
    if (FailsTypeTest(fd, lowerName)) return Verdict::Type;
  }
  if (contentTestOn && IsMostlyFill(fd, size, scratch, stop)) return Verdict::Content;
  if (!damageTestOn) return Verdict::Valid;
  const IntegrityVerdict integrity = CheckIntegrity(fd, size, name, stop);
  if (integrity.state != Integrity::Damaged && integrity.state != Integrity::Tail) return Verdict::Valid;
  reason = Utf8ToText(integrity.reason);
  return integrity.state == Integrity::Damaged ? Verdict::Damaged : Verdict::Tail;
}

bool InvalidFileDetector::MatchesNameRule(std::u16string_view name) const {
  for (const NameRule& rule : nameRules) {
    const std::u16string_view pattern = rule.pattern;
    switch (rule.kind) {
      case NameRule::kPrefix:
        if (name.starts_with(pattern)) return true;
        break;
      case NameRule::kContain:
        if (name.find(pattern) != std::u16string_view::npos) return true;
        break;
      case NameRule::kSuffix:  // the whole extension, not its end
        if (ExtensionOf(name) == pattern) return true;
        break;
      case NameRule::kAll:
        if (name == pattern) return true;
        break;
    }
  }
  return false;
}

bool InvalidFileDetector::FailsTypeTest(int fd, std::u16string_view name) const {
  const std::u16string_view extension = ExtensionOf(name);
  if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end()) return false;
  const SignatureGroup group = GroupOf(extension);
  if (group == SignatureGroup::None) return false;
  HeadBytes head;
  ReadZeroPadded(fd, head.data(), head.size(), 0);
  switch (group) {
    case SignatureGroup::Image: return !ImageSignatureTest(head);
    case SignatureGroup::Document: return !DocumentSignatureTest(head);
    case SignatureGroup::Archive: return !ArchiveSignatureTest(head);
    case SignatureGroup::Media: return !MediaSignatureTest(head);
    case SignatureGroup::None: break;
  }
  return false;
}

// The share of the file made of whole 512-byte blocks (and a tail) that repeat the fill pattern
// from their first byte. The file is read only as far as the verdict is still open: counting stops
// once the threshold is reached, or once the blocks left could no longer reach it.
bool InvalidFileDetector::IsMostlyFill(int fd, int64_t size, Scratch& scratch, const std::atomic<int>* stop) const {
  if (size <= 0 || fillPattern.empty()) return false;
  if (scratch.filledBlockPattern != fillPattern) {
    for (size_t i = 0; i < scratch.filledBlock.size(); ++i)
      scratch.filledBlock[i] = fillPattern[i % fillPattern.size()];
    scratch.filledBlockPattern = fillPattern;
  }

  const double threshold = percentThreshold;
  const auto reaches = [&](int64_t filled) { return threshold <= static_cast<double>(filled) * 100.0 / size; };
  const auto isFilled = [&](const uint8_t* block, int64_t length) {
    return std::memcmp(block, scratch.filledBlock.data(), static_cast<size_t>(length)) == 0;
  };

  const int64_t tail = size % kBlockSize;
  const int64_t whole = size - tail;
  int64_t filled = 0;
  if (reaches(filled)) return true;
  // The last read takes the tail along, so a small file costs one read.
  std::vector<uint8_t>& buffer = scratch.buffer;
  buffer.resize(static_cast<size_t>(std::min(size, kChunkSize + kBlockSize)));
  for (int64_t offset = 0;;) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed) != 0) return false;
    const int64_t length = std::min(kChunkSize, whole - offset);
    const bool last = offset + length == whole;
    ReadZeroPadded(fd, buffer.data(), static_cast<size_t>(last ? length + tail : length), offset);
    for (int64_t block = 0; block < length; block += kBlockSize) {
      if (!isFilled(buffer.data() + block, kBlockSize)) continue;
      // A file that starts with a filled block counts as filled throughout.
      if (offset == 0 && block == 0 && headerRuleOn) return reaches(size);
      filled += kBlockSize;
    }
    if (last) {
      if (tail > 0 && isFilled(buffer.data() + length, tail)) filled += tail;
      return reaches(filled);
    }
    if (reaches(filled)) return true;
    offset += length;
    if (!reaches(filled + (whole - offset) + tail)) return false;
  }
}

ScanResult ClassifyFile(const InvalidFileDetector& detector, const std::filesystem::path& path,
                        const std::atomic<int>* stop) {
  int64_t size = 0;
  const UniqueFd fd = OpenRegularFile(path, size);
  InvalidFileDetector::Scratch scratch;
  ScanResult result = detector.JudgeOpened(fd, size, path.native(), scratch, stop);
  if (fd) result.path = path;
  return result;
}

}  // namespace brenvik

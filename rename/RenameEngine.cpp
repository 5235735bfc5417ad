#include "rename/RenameEngine.h"


#include <limits>
#include <type_traits>
#include <utility>

#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/NameText.h"

namespace brenvik {
namespace {

// One backward pass over the path, since Check runs it on every file of a tree.
template <class Char>
std::basic_string_view<Char> ExtensionOf(std::basic_string_view<Char> path) {
  constexpr size_t kNone = std::basic_string_view<Char>::npos;
  size_t dot = kNone;
  for (size_t i = path.size(); i-- > 0;) {
    if (path[i] == Char('/')) {
      // The "/" must not be the path's first character, nor the dot the name's first.
      if (i == 0 || dot == kNone || dot == i + 1) return {};
      return path.substr(dot + 1);
    }
    if (path[i] == Char('.') && dot == kNone) dot = i;
  }
  return {};
}

// An extension of up to four ASCII characters packed into one number, so each type is one compare.
constexpr uint32_t Packed(std::string_view extension) {
  uint32_t packed = 0;
  for (const char c : extension) packed = (packed << 8) | static_cast<uint8_t>(c);
  return packed;
}

template <size_t N>
constexpr bool PackedAmong(uint32_t packed, const std::array<std::string_view, N>& extensions) {
  for (const std::string_view extension : extensions)
    if (Packed(extension) == packed) return true;
  return false;
}

// The media kind of an extension packed in lower case, or 0.
uint32_t MediaBitOf(uint32_t lowerPacked) {
  if (PackedAmong(lowerPacked, kPhotoExtensions)) return kRenamePhotos;
  if (PackedAmong(lowerPacked, kMusicExtensions)) return kRenameMusic;
  if (PackedAmong(lowerPacked, kVideoExtensions)) return kRenameVideos;
  return 0;
}

template <class Char>
uint32_t TypeBitOf(std::basic_string_view<Char> extension) {
  if (extension.size() < 3 || extension.size() > 4) return 0;
  uint32_t packed = 0;
  uint32_t lowerPacked = 0;
  for (const Char c : extension) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    if (unit == 0 || unit > 0x7F) return 0;
    packed = (packed << 8) | unit;
    lowerPacked = (lowerPacked << 8) | (unit >= 'A' && unit <= 'Z' ? unit + 32 : unit);
  }
  static_assert(kRenameTypeExtensions.size() == 8);
  switch (packed) {
    case Packed(kRenameTypeExtensions[0]): return uint32_t{1} << 0;
    case Packed(kRenameTypeExtensions[1]): return uint32_t{1} << 1;
    case Packed(kRenameTypeExtensions[2]): return uint32_t{1} << 2;
    case Packed(kRenameTypeExtensions[3]): return uint32_t{1} << 3;
    case Packed(kRenameTypeExtensions[4]): return uint32_t{1} << 4;
    case Packed(kRenameTypeExtensions[5]): return uint32_t{1} << 5;
    case Packed(kRenameTypeExtensions[6]): return uint32_t{1} << 6;
    case Packed(kRenameTypeExtensions[7]): return uint32_t{1} << 7;
    default: return MediaBitOf(lowerPacked);
  }
}

// The first `limit` UTF-16 units, without splitting a surrogate pair. A negative limit (which the
// settings dialog lets through when pasted) keeps nothing.
std::u16string_view Leading(std::u16string_view text, int32_t limit) {
  if (limit <= 0) return {};
  size_t keep = static_cast<size_t>(limit);
  if (keep >= text.size()) return text;
  if (text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  return text.substr(0, keep);
}

constexpr int64_t kSecondsPerDay = 86'400;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr int64_t kTicksPerSecond = 10'000'000;

// A time in seconds since 1970 as the file time the name texts take.
int64_t FileTimeOf(int64_t seconds) { return (seconds + kSecondsFrom1601To1970) * kTicksPerSecond; }

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsControl(char16_t u) { return u < 0x20 || (u >= 0x7F && u <= 0x9F); }

}  // namespace

std::u16string_view PathExtension(std::u16string_view path) { return ExtensionOf(path); }
std::string_view PathExtension(std::string_view path) { return ExtensionOf(path); }

uint32_t RenameTypeBit(std::u16string_view extension) { return TypeBitOf(extension); }
uint32_t RenameTypeBit(std::string_view extension) { return TypeBitOf(extension); }

std::u16string ComposeDocumentName(const DocumentTexts& texts, const AppSettings& settings, bool spreadsheet) {
  std::u16string name;
  if (settings.date && !texts.date.empty()) name = texts.date;
  if (spreadsheet && settings.sheet && !texts.sheet.empty()) name += texts.sheet;
  if (settings.content && !texts.content.empty()) name += Leading(texts.content, settings.nameLengthLimit);
  return std::u16string(Leading(name, settings.nameLengthLimit));
}

bool PlausibleMediaTime(const StatedTime& time, int64_t modifiedAt) {
  static const int64_t k1990 = SecondsOfCivil(1990, 1, 1, 0, 0, 0);
  static const int64_t k2000 = SecondsOfCivil(2000, 1, 1, 0, 0, 0);
  static const int64_t k2001 = SecondsOfCivil(2001, 1, 1, 0, 0, 0);
  // Year 9999 bounds the arithmetic below whatever a file system says of its files' times.
  static const int64_t kLast = SecondsOfCivil(9999, 12, 31, 23, 59, 59);
  if (time.clock < k1990 || time.clock > kLast) return false;
  // A camera whose clock was never set starts at one of these.
  if ((time.clock >= k2000 && time.clock < k2000 + kSecondsPerDay) || (time.clock >= k2001 && time.clock < k2001 + 60))
    return false;
  const int64_t moment = time.clock - time.utcOffset.value_or(0);
  return modifiedAt > kLast || moment <= modifiedAt + kSecondsPerDay;
}

std::u16string ComposeMediaName(const MediaFacts& facts, const AppSettings& settings, int64_t modifiedAt) {
  std::u16string name;
  if (settings.date && facts.time && PlausibleMediaTime(*facts.time, modifiedAt)) {
    const StatedTime& time = *facts.time;
    name = time.utcOffset ? TimestampText(FileTimeOf(time.clock - *time.utcOffset)) : WallClockText(FileTimeOf(time.clock));
  }
  if (settings.content && !facts.text.empty()) {
    std::u16string text = facts.text;
    CleanName(text);
    name += Leading(text, settings.nameLengthLimit);
  }
  return std::u16string(Leading(name, settings.nameLengthLimit));
}

std::u16string SafeNameFromContent(std::u16string name) {
  std::u16string safe;
  safe.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t u = name[i];
    if (IsHighSurrogate(u)) {
      if (i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
        safe += u;
        safe += name[++i];
      }
      continue;
    }
    if (IsLowSurrogate(u) || IsControl(u) || u == u'/' || u == u'\\') continue;
    if (u == u'.' && !safe.empty() && safe.back() == u'.') continue;
    if ((u == u'.' || u == u'-') && safe.empty()) continue;
    safe += u;
  }
  return safe;
}

std::u16string DecimalText(int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

RenameEngine::RenameEngine(ContentReaders readers) : readers_(std::move(readers)) {}

RenameEngine::RenameEngine(ContentReaders readers, const RenameChoices& choices)
    : readers_(std::move(readers)),
      settings_(choices.settings),
      selectedTypes_(choices.selectedTypes),
      nameCounter_(choices.nextNumber) {}

void RenameEngine::prepareCheck() {
  nameCounter_ = 1;
  selectedTypes_ = 0;
}

bool RenameEngine::Select(std::u16string_view path) const {
  const uint32_t bit = RenameTypeBit(PathExtension(path));
  return (bit & selectedTypes_) != 0;
}

bool RenameEngine::Select(std::string_view path) const {
  // A file right below "/" is never taken.
  const size_t slash = path.rfind('/');
  return slash != std::string_view::npos && slash != 0 && SelectsName(path.substr(slash + 1));
}

bool RenameEngine::Select(std::string_view folderPath, std::string_view name) const {
  // The walk joins the two with a "/" unless the folder's path already ends in one; as above, that
  // "/" must not be the path's first byte.
  const bool belowSlash = folderPath.empty() || folderPath == "/";
  return !belowSlash && SelectsName(name);
}

bool RenameEngine::SelectsName(std::string_view name) const {
  // Check asks this of every file of a tree. Every type's extension has three or four characters
  // and no dot, so only a dot four or five from the end can start one, and never the name's first.
  const size_t size = name.size();
  const size_t dot = size > 4 && name[size - 4] == '.' ? size - 4 : size > 5 && name[size - 5] == '.' ? size - 5 : 0;
  return dot != 0 && (RenameTypeBit(name.substr(dot + 1)) & selectedTypes_) != 0;
}

std::u16string RenameEngine::nameFor(const std::filesystem::path& file, uint32_t typeBit) const {
  const auto media = [&](const MediaReader& reader) {
    if (!reader) return std::u16string();
    // The file's own time of change bounds the times its contents may claim.
    return ComposeMediaName(reader(file), settings_, ModificationTime(file));
  };
  const auto document = [&](const DocumentTextReader& reader, bool spreadsheet) {
    return reader ? ComposeDocumentName(reader(file, settings_), settings_, spreadsheet) : std::u16string();
  };
  const auto named = [&](const NameReader& reader) { return reader ? reader(file, settings_) : std::u16string(); };
  switch (typeBit) {
    case kRenameDoc:
      return document(readers_.word, false);
    case kRenameXls:
      return document(readers_.excel, true);
    case kRenameDocx:
      return document(readers_.docx, false);
    case kRenameXlsx:
      return document(readers_.xlsx, true);
    case kRenameZip:
      return named(readers_.zip);
    case kRenameRar:
      return named(readers_.rar);
    case kRenamePdf:
      return named(readers_.pdf);
    case kRenameTxt:
      return named(readers_.text);
    case kRenamePhotos:
      return media(readers_.photo);
    case kRenameMusic:
      return media(readers_.music);
    case kRenameVideos:
      return media(readers_.video);
    default: return {};
  }
}

RenameResult RenameEngine::RenameFromContent(std::u16string_view path) {
  return RenameFromContent(ListedTree({}, {}), path, {});
}

RenameResult RenameEngine::RenameFromContent(const ListedTree& tree, std::u16string_view path, FileIdentity identity,
                                             JobJournal* journal) {
  // The reader is chosen by the extension alone, whatever types the last Check selected.
  const std::u16string_view extension = PathExtension(path);
  const uint32_t typeBit = RenameTypeBit(extension);
  if (typeBit == 0) return {};
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos || slash == 0) return {};
  const std::u16string_view folder = path.substr(0, slash);

  // A file that is gone, or is no longer the one listed, gives no name and stays untouched.
  const std::filesystem::path filePath = TextToPath(path);
  const std::optional<ListedTree::Entry> entry = tree.Reach(filePath, identity);
  if (!entry) return {};
  // The readers open the file through this descriptor, so what they read (and a shortened
  // archive) is the file reached here, whatever its name leads to meanwhile.
  const UniqueFd file = OpenListedFile(*entry, identity);
  if (!file) return {};
  const std::u16string name = SafeNameFromContent(nameFor(PathOfOpenFile(file.get()), typeBit));
  if (name.empty()) return {};
  // Reading took time: the name must still hold the file that was read.
  RenameResult failed;
  failed.outcome = RenameOutcome::MoveFailed;
  const std::optional<JournaledFile> read = RegularFileIdentityOf(file.get());
  if (!read || IdentityAt(entry->folder.get(), entry->name) != read->identity) return failed;
  ResetAttributesAt(entry->folder.get(), entry->name);
  const std::string relative = journal ? RelativeBelowRoot(tree.root(), filePath) : std::string();

  RenameResult result;
  std::u16string newName;
  while (true) {
    newName = name;
    newName += u'#';
    newName += DecimalText(nameCounter_);
    newName += u'.';
    newName += extension;
    result.newPath.assign(folder);
    result.newPath += u'/';
    result.newPath += newName;
    // Every attempt uses up its number, whether or not the move succeeds.
    const bool lastNumber = nameCounter_ == std::numeric_limits<int32_t>::max();
    if (!lastNumber) ++nameCounter_;
    if (result.newPath == path) {
      result.outcome = RenameOutcome::Renamed;  // it already carries exactly this name
      return result;
    }
    const int folderFd = entry->folder.get();
    const std::string toName = TextToPath(newName).native();
    switch (journal ? journal->Move(folderFd, entry->name, folderFd, toName, relative, SiblingPath(relative, toName), &*read)
                    : MoveNoReplaceAt(folderFd, entry->name, folderFd, toName)) {
      case MoveResult::Moved:
        result.outcome = RenameOutcome::Renamed;
        return result;
      case MoveResult::TargetExists:
        // Someone else's file (an earlier run numbered from 1 too): keep it, try the next number.
        if (lastNumber) {
          result.outcome = RenameOutcome::MoveFailed;
          return result;
        }
        continue;
      case MoveResult::Failed:
        result.outcome = RenameOutcome::MoveFailed;
        return result;
    }
  }
}

}  // namespace brenvik

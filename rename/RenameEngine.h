#pragma once
// The File Rename engine: which files the tool takes, the name each one gets from its contents,
// and the move to "<folder>/<name>#<n>.<ext>". No Qt; failures are return values.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/AppSettings.h"
#include "journal/JobJournal.h"
#include "platform/NoFollow.h"
#include "rename/ContentReaders.h"

namespace brenvik {

// One bit per type box of the page, in the order of the boxes.
enum RenameTypeBit : uint32_t {
  kRenameDoc = 1,
  kRenameXls = 2,
  kRenameDocx = 4,
  kRenameXlsx = 8,
  kRenameZip = 16,
  kRenameRar = 32,
  kRenamePdf = 64,
  kRenameTxt = 128,
  kRenamePhotos = 256,
  kRenameMusic = 512,
  kRenameVideos = 1024,
};
inline constexpr uint32_t kRenameDocumentTypes = 0xFF;
inline constexpr uint32_t kRenameAllTypes = 0x7FF;

// The extension of each document type; the type with bit 1 << i is kRenameTypeExtensions[i].
inline constexpr std::array<std::string_view, 8> kRenameTypeExtensions{"doc", "xls", "docx", "xlsx",
                                                                       "zip", "rar", "pdf",  "txt"};

// The three kinds of media, each a box on the page and a --types value, and the extensions each
// takes in any mix of case (cameras write "IMG_0001.JPG").
struct RenameMediaKind {
  uint32_t bit;
  std::string_view caption;  // the page's box
  std::string_view value;    // brenvik-cli's --types value
};
inline constexpr std::array<RenameMediaKind, 3> kRenameMediaKinds{{{kRenamePhotos, "Photos", "photos"},
                                                                   {kRenameMusic, "Music", "music"},
                                                                   {kRenameVideos, "Videos", "videos"}}};
inline constexpr std::array<std::string_view, 29> kPhotoExtensions{
    "jpg", "jpeg", "jpe", "tif", "tiff", "png", "webp", "heic", "heif", "hif", "avif", "cr2", "cr3", "crw", "nef",
    "nrw", "arw", "srf", "sr2", "dng", "orf", "rw2", "raf", "pef", "srw", "x3f", "mrw", "3fr", "erf"};
inline constexpr std::array<std::string_view, 13> kMusicExtensions{
    "mp3", "flac", "ogg", "oga", "opus", "m4a", "m4b", "wma", "wav", "aif", "aiff", "ape", "mpc"};
inline constexpr std::array<std::string_view, 8> kVideoExtensions{"mp4", "m4v", "mov", "3gp",
                                                                  "3g2", "avi", "mkv", "webm"};

// The text after the last "." of the file name, when the path has a "/" that is not its first
// character and the dot is not the first character of the file name; otherwise empty.
std::u16string_view PathExtension(std::u16string_view path);
std::string_view PathExtension(std::string_view path);

// The type bit of an extension: a document type's compared exactly ("DOC" is no type), a media
// kind's in any case ("JPG" is a photo); 0 for any other extension.
uint32_t RenameTypeBit(std::u16string_view extension);
uint32_t RenameTypeBit(std::string_view extension);

// A document name from the reader's texts: the date (Date set), the sheet names (Sheet set,
// spreadsheets only), the first `limit` characters of the content (Content set), all cut to
// the name length limit.
std::u16string ComposeDocumentName(const DocumentTexts& texts, const AppSettings& settings, bool spreadsheet);

// A photo, song or video name in the same form: the stated time as "YYYY-MM-DD hh-mm-ss" (Date
// set, and only a plausible time, see PlausibleMediaTime), then the text (Content set) cleaned as
// document texts are and cut to the limit, all cut to the name length limit. A moment (a time
// with its offset) is shown in the machine's zone, a wall clock as it reads.
std::u16string ComposeMediaName(const MediaFacts& facts, const AppSettings& settings, int64_t modifiedAt);
// A time a camera could have meant: not before 1990, not after the file's last change
// (`modifiedAt`, seconds since 1970 UTC) plus a day, and not a clock that was never set
// (1970-01-01, 2000-01-01, 2001-01-01 00:00).
bool PlausibleMediaTime(const StatedTime& time, int64_t modifiedAt);

// The last guard between file contents and a path: removes path separators, NUL and other
// control characters and unpaired surrogates, shortens every run of dots to one dot, and drops
// leading dashes and dots, so a name from contents can never leave its folder, pose as an
// option or hide the file.
std::u16string SafeNameFromContent(std::u16string name);

// Decimal text of a number for names and status lines.
std::u16string DecimalText(int64_t value);

enum class RenameOutcome {
  NoName,       // not one of the eight types, or its contents gave no name: the file is untouched
  Renamed,      // moved to the new path (or it already had exactly that name)
  MoveFailed,   // the move failed; the file stays where it was
};

struct RenameResult {
  RenameOutcome outcome = RenameOutcome::NoName;
  std::u16string newPath;  // the path tried last (empty for NoName)
};

// What File Rename's passes go by, as plain values a front end keeps between them.
struct RenameChoices {
  AppSettings settings;        // cache mode, temporary folder, what names are made of
  uint32_t selectedTypes = 0;  // kRename* bits
  int32_t nextNumber = 1;      // where the numbering stands: 1 after a Check, then as the last Rename left it
};

class RenameEngine {
 public:
  explicit RenameEngine(ContentReaders readers);
  RenameEngine(ContentReaders readers, const RenameChoices& choices);
  // The engine's choices as they stand now (its numbering too).
  RenameChoices choices() const { return {settings_, selectedTypes_, nameCounter_}; }
  const ContentReaders& readers() const { return readers_; }

  // The copy of the settings a pass works on, taken when Check or Rename is pressed.
  void setSettings(const AppSettings& settings) { settings_ = settings; }
  const AppSettings& settings() const { return settings_; }

  // What a Check does first: the numbering starts again at 1 and no type is selected.
  void prepareCheck();
  void selectTypes(uint32_t bits) { selectedTypes_ |= bits; }
  uint32_t selectedTypes() const { return selectedTypes_; }
  int32_t nameCounter() const { return nameCounter_; }
  // Goes on with the numbering where a Rename on a copy of this engine left it.
  void continueNumbering(int32_t next) { nameCounter_ = next; }

  // True when the path's extension is one of the selected types. The byte form serves the
  // folder walk, which then converts only the paths it keeps.
  bool Select(std::u16string_view path) const;
  bool Select(std::string_view path) const;
  // The same for the file `name` of the folder at `folderPath`, as a walk meets it, without
  // joining the two.
  bool Select(std::string_view folderPath, std::string_view name) const;

  // Names the file from its contents and moves it to "<folder>/<name>#<n>.<ext>". Every attempted
  // move uses up a number. An existing file is never replaced: a taken new path is passed over for
  // the next number. A file without a name keeps its name and uses no number.
  RenameResult RenameFromContent(std::u16string_view path);
  // The same for a file Check listed: it is reached below the tree's root without following a
  // link, read through one open descriptor (an archive shortened through it too) and moved only
  // while it is still `identity` (when known). A file that cannot be reached so gets MoveFailed.
  // With a `journal` every attempted move is journaled.
  RenameResult RenameFromContent(const ListedTree& tree, std::u16string_view path, FileIdentity identity,
                                 JobJournal* journal = nullptr);

 private:
  // The name from the contents of `file` (a path that reaches the file to be read).
  std::u16string nameFor(const std::filesystem::path& file, uint32_t typeBit) const;

  ContentReaders readers_;
  AppSettings settings_;
  bool SelectsName(std::string_view name) const;
  uint32_t selectedTypes_ = 0;
  int32_t nameCounter_ = 1;
};

}  // namespace brenvik

// Text for names from Office Open XML packages (.docx, .xlsx): a few fixed parts are extracted
// into the temporary folder and walked along fixed element paths. Relationships and content types
// are never consulted.
#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "core/TemporaryFolder.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"
#include "readers/DocumentReader.h"
#include "readers/NameText.h"
#include "readers/ZipArchive.h"

namespace brenvik {
namespace {

// The XML reader is given paths shorter than this many bytes (with the terminating NUL).
constexpr size_t kPartPathLimit = 512;

struct Part {
  std::u16string_view entryPrefix;  // archive items whose safe name begins with this
  const char* placeName;            // its place below the temporary folder, as the path limit counts it
  const char* fileName;             // its file in the private folder, after the thread's prefix
};

constexpr Part kDocumentPart{u"word/document.xml", "word/document.xml", "document.xml"};
constexpr Part kWorkbookPart{u"xl/workbook.xml", "xl/workbook.xml", "workbook.xml"};
constexpr Part kSharedStringsPart{u"xl/sharedStrings.xml", "xl/sharedStrings.xml", "sharedStrings.xml"};
constexpr Part kSheet1Part{u"xl/worksheets/sheet1.xml", "xl/worksheets/sheet1.xml", "sheet1.xml"};

bool Matches(const ZipItem& item, const Part& part) { return item.name.starts_with(part.entryPrefix); }

// The parts of one package. They go into Brenvik's private folder inside the temporary folder, so
// a part never takes the place of a file that the user keeps there. Each thread has part names of
// its own, so two readers never share a part; a thread's next package overwrites them in place,
// which costs far less than a new file each time. The private folder goes on close.
class ExtractedParts {
 public:
  explicit ExtractedParts(const std::filesystem::path& temporaryFolder) : temporaryFolder_(temporaryFolder) {}

  // Extracts the archive's current item as `part` (a later item replaces an earlier one).
  bool Extract(ZipArchive& archive, const Part& part) {
    if (folderFd_ < 0) folderFd_ = PrivateFolderIn(temporaryFolder_);
    return folderFd_ >= 0 && archive.ExtractCurrent(folderFd_, fileName(part));
  }

  // Loads an extracted part; false when its place's path is too long for the XML reader or the
  // part is not well-formed XML. `root` is the document's first element.
  bool Load(const Part& part, pugi::xml_document& document, pugi::xml_node& root) const {
    if ((temporaryFolder_ / part.placeName).native().size() + 1 >= kPartPathLimit) return false;
    if (folderFd_ < 0) return false;
    int64_t size = 0;
    const UniqueFd fd = OpenRegularFileAt(folderFd_, fileName(part), size);
    if (!fd || size < 0 || static_cast<uint64_t>(size) > kExtractedPartCap) return false;
    // Read into memory the XML reader owns, so a large part is not copied once more.
    const size_t length = static_cast<size_t>(size);
    void* bytes = pugi::get_memory_allocation_function()(length > 0 ? length : 1);
    if (bytes == nullptr) return false;
    if (ReadAt(fd.get(), bytes, length, 0) != size) {
      pugi::get_memory_deallocation_function()(bytes);
      return false;
    }
    if (!document.load_buffer_inplace_own(bytes, length, pugi::parse_default)) return false;
    for (pugi::xml_node child = document.first_child(); child; child = child.next_sibling()) {
      if (child.type() == pugi::node_element) {
        root = child;
        return true;
      }
    }
    return false;
  }

 private:
  static std::string fileName(const Part& part) {
    static std::atomic<uint64_t> threads{0};
    thread_local const std::string prefix = std::to_string(++threads) + "-";
    return prefix + part.fileName;
  }

  const std::filesystem::path& temporaryFolder_;
  int folderFd_ = -1;
};

// Appends texts to one result, cleaned; reports when the gathering limit is reached.
class TextGatherer {
 public:
  TextGatherer(std::u16string& into, int32_t limit) : into_(into), limit_(limit) {}
  // Appends `utf8` (cleaned); true once the result holds the gathering limit or more.
  bool Append(std::string_view utf8) {
    std::u16string text = Utf8ToText(utf8);
    CleanName(text);
    into_ += text;
    return full();
  }
  // The text of an element whose first child is text; nothing for any other element.
  bool AppendElementText(const pugi::xml_node& element) {
    const pugi::xml_node first = element.first_child();
    if (first.type() != pugi::node_pcdata && first.type() != pugi::node_cdata) return full();
    return Append(first.value());
  }
  bool full() const { return static_cast<int64_t>(into_.size()) >= limit_; }

 private:
  std::u16string& into_;
  int32_t limit_;
};

// Paragraph runs: the first "w:t" of each "w:r" directly inside the paragraph.
bool GatherParagraph(const pugi::xml_node& paragraph, TextGatherer& gatherer) {
  for (pugi::xml_node run : paragraph.children("w:r"))
    if (gatherer.AppendElementText(run.child("w:t"))) return true;
  return false;
}

void GatherDocumentText(const pugi::xml_node& root, TextGatherer& gatherer) {
  for (pugi::xml_node block : root.child("w:body").children()) {
    const std::string_view name = block.name();
    if (name == "w:p") {
      if (GatherParagraph(block, gatherer)) return;
    } else if (name == "w:tbl") {
      for (pugi::xml_node row : block.children("w:tr"))
        for (pugi::xml_node cell : row.children("w:tc"))
          for (pugi::xml_node paragraph : cell.children("w:p"))
            if (GatherParagraph(paragraph, gatherer)) return;
    }
  }
}

void GatherSheetNames(const pugi::xml_node& root, std::u16string& sheetText) {
  for (pugi::xml_node sheet : root.child("sheets").children("sheet")) {
    for (pugi::xml_attribute attribute : sheet.attributes()) {
      if (std::string_view(attribute.name()) != "name") continue;
      std::u16string name = Utf8ToText(attribute.value());
      CleanName(name);
      sheetText += name;
    }
  }
}

void GatherSharedStrings(const pugi::xml_node& root, TextGatherer& gatherer) {
  for (pugi::xml_node item : root.children("si")) {
    if (item.child("t")) {
      for (pugi::xml_node text : item.children("t"))
        if (gatherer.AppendElementText(text)) return;
    } else {
      for (pugi::xml_node run : item.children("r"))
        for (pugi::xml_node text : run.children("t"))
          if (gatherer.AppendElementText(text)) return;
    }
  }
}

void GatherInlineStrings(const pugi::xml_node& root, TextGatherer& gatherer) {
  for (pugi::xml_node data : root.children("sheetData"))
    for (pugi::xml_node row : data.children("row"))
      for (pugi::xml_node cell : row.children("c"))
        for (pugi::xml_node inlineString : cell.children("is"))
          for (pugi::xml_node text : inlineString.children("t"))
            if (gatherer.AppendElementText(text)) return;
}

// Empties the reader's results on the way out of a read that Stop interrupted.
class StopGuard {
 public:
  explicit StopGuard(DocumentReader& reader) : reader_(reader) {}
  ~StopGuard() { reader_.DropResultsIfStopped(); }
  StopGuard(const StopGuard&) = delete;
  StopGuard& operator=(const StopGuard&) = delete;

 private:
  DocumentReader& reader_;
};

}  // namespace

void DocumentReader::ReadDocx(const std::filesystem::path& path) {
  ResetReader();
  const StopGuard guard(*this);
  ExtractedParts parts(choices.temporaryFolder);
  bool extracted = false;
  {
    ZipArchive archive(path);
    if (!archive.isOpen()) return;
    ZipItem item;
    for (bool more = archive.First(); more && !stopRequested(); more = archive.Next()) {
      if (!archive.Current(item)) break;
      if (!Matches(item, kDocumentPart)) continue;
      extracted = parts.Extract(archive, kDocumentPart);
      ++work.partsExtracted;
      if (IsAcceptedEntryTime(item.time.fileTime)) dateText = ZipTimeText(item.time);
      break;
    }
  }
  // Only a part extracted from this file is read: one left by an earlier file must never leak
  // into this file's name.
  pugi::xml_document document;
  pugi::xml_node root;
  if (!extracted || !parts.Load(kDocumentPart, document, root)) return;
  TextGatherer gatherer(contentText, choices.nameLengthLimit);
  GatherDocumentText(root, gatherer);
}

void DocumentReader::ReadXlsx(const std::filesystem::path& path) {
  ResetReader();
  const StopGuard guard(*this);
  ExtractedParts extractedParts(choices.temporaryFolder);
  const std::array<const Part*, 3> parts{&kWorkbookPart, &kSharedStringsPart, &kSheet1Part};
  std::array<bool, 3> seen{}, extracted{};
  std::array<std::optional<ZipItemPosition>, 3> chosen;
  std::array<std::optional<ZipItemTime>, 3> times;
  {
    ZipArchive archive(path);
    if (!archive.isOpen()) return;
    // The directory is walked by names first: of several items matching one part the last one is
    // the part, and only that one is inflated. A package that lists the same part thousands of
    // times costs one extraction per part, not one per listing.
    ZipItem item;
    for (bool more = archive.First(); more && !stopRequested(); more = archive.Next()) {
      if (!archive.Current(item)) break;
      for (size_t slot = 0; slot < parts.size(); ++slot) {
        if (!Matches(item, *parts[slot])) continue;
        seen[slot] = true;
        if (ZipItemPosition place; archive.Remember(place)) chosen[slot] = place;
        if (IsAcceptedEntryTime(item.time.fileTime)) times[slot] = item.time;
        break;
      }
      if (std::all_of(seen.begin(), seen.end(), [](bool s) { return s; })) break;
    }
    for (size_t slot = 0; slot < parts.size(); ++slot) {
      if (!chosen[slot] || stopRequested() || !archive.GoTo(*chosen[slot])) continue;
      extracted[slot] = extractedParts.Extract(archive, *parts[slot]);
      ++work.partsExtracted;
    }
  }
  std::optional<ZipItemTime> newest;
  for (const std::optional<ZipItemTime>& time : times)
    if (time && (!newest || time->fileTime > newest->fileTime)) newest = time;
  if (newest) dateText = ZipTimeText(*newest);

  pugi::xml_document document;
  pugi::xml_node root;
  if (choices.sheet && extracted[0] && extractedParts.Load(kWorkbookPart, document, root))
    GatherSheetNames(root, sheetText);
  if (!choices.content) return;
  TextGatherer gatherer(contentText, choices.nameLengthLimit);
  if (extracted[1] && extractedParts.Load(kSharedStringsPart, document, root)) GatherSharedStrings(root, gatherer);
  if (contentText.empty() && extracted[2] && extractedParts.Load(kSheet1Part, document, root))
    GatherInlineStrings(root, gatherer);
}

}  // namespace brenvik

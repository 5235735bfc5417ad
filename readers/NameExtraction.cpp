#include "readers/NameExtraction.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "readers/NameText.h"
#include "readers/RarReader.h"
#include "readers/ZipArchive.h"

namespace brenvik {
namespace {

// The scan for the PDF creation date reads windows of this many bytes, starting a step apart, and
// tests every start position of the step; the overlap holds the value after a match.
constexpr int64_t kPdfWindowStep = 0x100000;
constexpr size_t kPdfWindowSize = 0x100040;
constexpr std::string_view kCreationKey = "/CreationDat";
constexpr size_t kCreationValueAt = 13;  // past the key and the one byte after it
constexpr size_t kCreationValueBytes = 48;
constexpr size_t kDateCharacters = 14;

constexpr size_t kTextHeadBytes = 512;

std::string_view AsChars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

// The date of one /CreationDate value: the characters after "D:" once spaces are gone, provided
// something (the opening bracket) stands before it.
std::u16string CreationDateAt(const char* value) {
  std::u16string text = AnsiToText(UpToNul(std::string_view(value, kCreationValueBytes)));
  std::erase(text, u' ');
  const size_t marker = text.find(u"D:");
  if (marker == std::u16string::npos || marker == 0) return {};
  return text.substr(marker + 2, kDateCharacters);
}

}  // namespace

std::u16string NameFromZip(const std::filesystem::path& path, const NameChoices& choices) {
  std::u16string names;
  std::optional<ZipItemTime> newest;
  {
    ZipArchive archive(path);
    if (!archive.isOpen()) return {};
    ZipItem item;
    for (bool more = archive.First(); more; more = archive.Next()) {
      if (!archive.Current(item)) break;
      std::u16string name = AnsiToText(item.rawName);
      if (const size_t slash = name.rfind(u'/'); slash != std::u16string::npos) name.erase(0, slash + 1);
      CleanEntryName(name);
      names += name;
      if (IsAcceptedEntryTime(item.time.fileTime) && (!newest || item.time.fileTime > newest->fileTime)) newest = item.time;
      if (names.size() >= static_cast<size_t>(std::max(choices.nameLengthLimit, 0))) break;
    }
  }
  std::u16string result;
  if (choices.date && newest) result = ZipTimeText(*newest);
  if (choices.content) result += names;
  return CutToLimit(std::move(result), choices.nameLengthLimit);
}

std::u16string NameFromRar(const std::filesystem::path& path, const NameChoices& choices) {
  RarNameReader reader;
  if (reader.ReadRarNames(path) != RarNameReader::kWalked) return {};
  if (choices.size && reader.archiveEnd() != 0 && reader.archiveEnd() < reader.fileLength()) {
    UniqueFd fd = OpenReadWrite(path);
    // Only the file that was walked: had it changed length meanwhile, the end found no longer holds.
    if (fd && FileSize(fd.get()) == reader.fileLength()) SetFileLength(fd.get(), reader.archiveEnd());
  }
  return CutToLimit(reader.names(), choices.nameLengthLimit);
}

std::u16string NameFromPdf(const std::filesystem::path& path) {
  UniqueFd fd = OpenShared(path);
  if (!fd) return {};
  char magic[5];
  if (ReadAt(fd.get(), magic, sizeof magic, 0) != sizeof magic || std::memcmp(magic, "%PDF-", 5) != 0) return {};

  std::vector<char> window(kPdfWindowSize);
  std::u16string date;
  for (int64_t start = 0; date.empty(); start += kPdfWindowStep) {
    std::fill(window.begin(), window.end(), '\0');
    const int64_t n = ReadAt(fd.get(), window.data(), window.size(), start);
    if (n <= 0) break;
    const std::string_view searched(window.data(), kPdfWindowStep + kCreationKey.size() - 1);
    const size_t match = searched.find(kCreationKey);
    if (match != std::string_view::npos) date = CreationDateAt(window.data() + match + kCreationValueAt);
    if (n <= kPdfWindowStep) break;  // this window reached the end of the file
  }
  CleanName(date);
  return date;
}

std::u16string NameFromText(const std::filesystem::path& path, const NameChoices& choices) {
  std::u16string text;
  if (UniqueFd fd = OpenShared(path)) {
    // One byte more than a name is read from tells whether the file goes on past them.
    uint8_t buffer[kTextHeadBytes + 1] = {};
    const int64_t n = ReadAt(fd.get(), buffer, sizeof buffer, 0);
    const bool cut = n > static_cast<int64_t>(kTextHeadBytes);
    const auto head = std::span<const uint8_t>(buffer, std::min(static_cast<size_t>(std::max<int64_t>(n, 0)), kTextHeadBytes));
    // The text up to its first NUL, and whether the read limit rather than a NUL or the end of
    // the file ended it: only then may its last character have been cut short.
    const auto upToEnd = [cut](std::span<const uint8_t> bytes) {
      const std::string_view text = UpToNul(AsChars(bytes));
      return std::pair{text, cut && text.size() == bytes.size()};
    };
    if (head.size() >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
      // An odd last byte pairs with a zero high byte, as in the zero-filled read buffer: a file
      // cut one byte short still keeps its last character.
      for (size_t i = 2; i < head.size(); i += 2) {
        const uint8_t high = i + 1 < head.size() ? head[i + 1] : 0;
        const auto unit = static_cast<char16_t>(head[i] | (high << 8));
        if (unit == 0) break;
        text += unit;
      }
    } else if (head.size() >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
      // Bytes that are not UTF-8 show as U+FFFD, and so does a character the text itself ends
      // in before finishing it; one that the read limit cut is left out.
      const auto [body, limited] = upToEnd(head.subspan(3));
      text = Utf8ToTextReplacing(limited ? WithoutCutUtf8End(body) : body);
    } else {
      const auto [body, limited] = upToEnd(head);
      text = limited ? AnsiHeadToText(body) : AnsiToText(body);
    }
  }
  CleanName(text);
  return CutToLimit(std::move(text), choices.nameLengthLimit);
}

}  // namespace brenvik

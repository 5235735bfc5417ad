#include "journal/Journal.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#include "platform/NoFollow.h"

namespace brenvik {

namespace {

constexpr std::string_view kMagic = "brenvik-journal 1";

std::string LocalTimeText(time_t when, const char* format) {
  struct tm local {};
  char text[64] = {};
  if (!localtime_r(&when, &local) || std::strftime(text, sizeof text, format, &local) == 0) return {};
  return text;
}

uint32_t LineCrc(std::string_view line) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(line.data()), static_cast<uInt>(line.size())));
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value, int base = 10) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  return ec == std::errc() && ptr == end && !text.empty();
}

std::string_view ValueOf(std::string_view field, std::string_view key) {
  if (field.size() <= key.size() || field.substr(0, key.size()) != key || field[key.size()] != '=') return {};
  return field.substr(key.size() + 1);
}

// A path as a journal may name it: relative to the root, every part a plain name (not empty, not
// "." or "..", no NUL byte, which the system would take as the end of the path).
bool IsPathBelowRoot(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  for (;;) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

std::optional<JournalEntry> ParseEntry(std::string_view line) {
  const size_t lastTab = line.rfind('\t');
  if (lastTab == std::string_view::npos) return std::nullopt;
  uint32_t crc = 0;
  if (line.size() - lastTab - 1 != 8 || !ParseNumber(line.substr(lastTab + 1), crc, 16)) return std::nullopt;
  if (LineCrc(line.substr(0, lastTab)) != crc) return std::nullopt;
  const std::vector<std::string_view> f = SplitTabs(line.substr(0, lastTab));
  if (f.size() != 7) return std::nullopt;
  JournalEntry entry{};
  if (f[0] == "move") entry.kind = JournalEntryKind::Move;
  else if (f[0] == "kept") entry.kind = JournalEntryKind::Kept;
  else if (f[0] == "folder") entry.kind = JournalEntryKind::FolderCreated;
  else return std::nullopt;
  std::optional<std::string> from = UnescapeJournalPath(f[1]);
  std::optional<std::string> to = UnescapeJournalPath(f[2]);
  // A line whose names are not plain paths below the root is as good as damaged.
  if (!from || !to || !IsPathBelowRoot(*from)) return std::nullopt;
  if (entry.kind == JournalEntryKind::FolderCreated ? !to->empty() : !IsPathBelowRoot(*to)) return std::nullopt;
  entry.from = std::move(*from);
  entry.to = std::move(*to);
  if (!ParseNumber(f[3], entry.file.identity.device) || !ParseNumber(f[4], entry.file.identity.inode) ||
      !ParseNumber(f[5], entry.file.size)) {
    return std::nullopt;
  }
  return entry;
}

}  // namespace

namespace {

void AppendEscaped(std::string& text, std::string_view path) {
  for (const char c : path) {
    switch (c) {
      case '\\': text += "\\\\"; break;
      case '\t': text += "\\t"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      default: text += c;
    }
  }
}

}  // namespace

std::string EscapeJournalPath(std::string_view path) {
  std::string text;
  text.reserve(path.size());
  AppendEscaped(text, path);
  return text;
}

std::optional<std::string> UnescapeJournalPath(std::string_view text) {
  std::string path;
  path.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      path += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\': path += '\\'; break;
      case 't': path += '\t'; break;
      case 'n': path += '\n'; break;
      case 'r': path += '\r'; break;
      default: return std::nullopt;
    }
  }
  return path;
}

std::optional<JournalWriter> JournalWriter::Begin(int rootFd, const std::filesystem::path& root,
                                                  std::string_view tool, std::string_view settings) {
  const FileIdentity rootIdentity = IdentityOf(rootFd);
  if (!rootIdentity.known()) return std::nullopt;
  const std::string folderName(kJournalFolderName);
  const UniqueFd folder = OpenFolderBelow(rootFd, folderName, /*createMissing=*/true, nullptr, 0700);
  if (!folder) return std::nullopt;

  const time_t now = std::time(nullptr);
  const std::string stamp = LocalTimeText(now, "%Y-%m-%d %H-%M-%S");
  AppendOnlyFile file;
  std::string name;
  for (int n = 1; n < 1000 && !file.isOpen(); ++n) {
    name = std::string(tool) + " " + stamp + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".tsv";
    AppendOnlyFile::Made made;
    file = AppendOnlyFile::CreateAt(folder.get(), name, made);
    if (made == AppendOnlyFile::Made::Failed) return std::nullopt;
  }
  if (!file.isOpen()) return std::nullopt;

  std::string header(kMagic);
  header += "\ttool=" + EscapeJournalPath(tool);
  // Absolute, so the header names the folder wherever the journal is read from.
  std::error_code ignored;
  const std::filesystem::path absoluteRoot = std::filesystem::absolute(root, ignored);
  header += "\troot=" + EscapeJournalPath(absoluteRoot.empty() ? root.native() : absoluteRoot.native());
  header += "\troot-id=" + std::to_string(rootIdentity.device) + ":" + std::to_string(rootIdentity.inode);
  header += "\tstarted=" + LocalTimeText(now, "%Y-%m-%dT%H:%M:%S%z");
  header += "\tsettings=" + EscapeJournalPath(settings);
  header += '\n';
  const std::filesystem::path path = root / folderName / name;
  JournalWriter writer(std::move(file), path);
  if (!writer.file_.Append(header)) {
    DeleteRegularFileAt(folder.get(), name);
    return std::nullopt;
  }
  return writer;
}

bool JournalWriter::Append(std::string_view kind, std::string_view first, std::string_view second,
                           const JournaledFile& file) {
  const time_t now = std::time(nullptr);
  if (now != timeSecond_) {
    timeSecond_ = now;
    timeText_ = LocalTimeText(now, "%Y-%m-%dT%H:%M:%S");
  }
  std::string& line = line_;
  line.assign(kind);
  line += '\t';
  AppendEscaped(line, first);
  line += '\t';
  AppendEscaped(line, second);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "\t%llu\t%llu\t%lld\t",
                static_cast<unsigned long long>(file.identity.device),
                static_cast<unsigned long long>(file.identity.inode), static_cast<long long>(file.size));
  line += numbers;
  line += timeText_;
  char crc[16];
  std::snprintf(crc, sizeof crc, "\t%08x\n", LineCrc(line));
  line += crc;
  // One write per line: a killed job leaves whole lines, or a last line without its line feed.
  return file_.Append(line);
}

bool JournalWriter::RecordMove(std::string_view from, std::string_view to, const JournaledFile& file) {
  return Append("move", from, to, file);
}

bool JournalWriter::RecordKept(std::string_view from, std::string_view to, const JournaledFile& file) {
  return Append("kept", from, to, file);
}

bool JournalWriter::RecordFolderCreated(std::string_view folder, const JournaledFile& identity) {
  return Append("folder", folder, "", identity);
}

JournaledMove JournaledMoveAt(JournalWriter* journal, int fromFolderFd, std::string_view fromName, int toFolderFd,
                              std::string_view toName, std::string_view fromRelative, std::string_view toRelative,
                              const JournaledFile* known) {
  const std::optional<JournaledFile> file =
      known ? std::optional<JournaledFile>(*known) : RegularFileIdentityAt(fromFolderFd, fromName);
  if (!file || toName.empty()) return JournaledMove::Failed;
  if (journal && !journal->RecordMove(fromRelative, toRelative, *file)) return JournaledMove::JournalFailed;
  const MoveResult moved = MoveNoReplaceAt(fromFolderFd, fromName, toFolderFd, toName);
  if (moved == MoveResult::Moved) return JournaledMove::Moved;
  if (journal) journal->RecordKept(fromRelative, toRelative, *file);
  return moved == MoveResult::TargetExists ? JournaledMove::TargetExists : JournaledMove::Failed;
}

namespace {

// Reads a journal line by line through one buffer, so memory stays flat however large the file
// claims to be (a sparse file of terabytes is only its first lines' worth of work).
class JournalLineReader {
 public:
  explicit JournalLineReader(int fd) : fd_(fd) {}

  enum class Read { Line, End, TooLong, Failed };
  // The next line without its line feed. End: the file ends, or what is left of it is a line
  // without its line feed: the write a killed job did not finish, or the zero bytes of the room
  // it had reserved. TooLong: no line feed within kLongestJournalLine bytes.
  Read Next(std::string_view& line) {
    for (;;) {
      const std::string_view pending = std::string_view(buffer_).substr(at_);
      const size_t end = pending.find('\n');
      if (end != std::string_view::npos && end <= kLongestJournalLine) {
        line = pending.substr(0, end);
        at_ += end + 1;
        return Read::Line;
      }
      if (pending.size() > kLongestJournalLine) return UnfinishedOrLong(pending);
      if (ended_) return Read::End;
      if (!Fill()) return Read::Failed;
    }
  }

 private:
  // No line feed within the bound: zero bytes from some point on are the unfinished end.
  static Read UnfinishedOrLong(std::string_view pending) {
    pending = pending.substr(0, kLongestJournalLine + 1);
    const size_t zero = pending.find('\0');
    return zero != std::string_view::npos && pending.find_first_not_of('\0', zero) == std::string_view::npos
               ? Read::End
               : Read::TooLong;
  }

  bool Fill() {
    buffer_.erase(0, at_);
    at_ = 0;
    const size_t kept = buffer_.size();
    buffer_.resize(kept + kReadStep);
    const int64_t n = ReadFull(fd_, buffer_.data() + kept, kReadStep);
    if (n < 0) return false;
    buffer_.resize(kept + static_cast<size_t>(n));
    if (static_cast<size_t>(n) < kReadStep) ended_ = true;
    return true;
  }

  static constexpr size_t kReadStep = 64 * 1024;
  int fd_;
  std::string buffer_;
  size_t at_ = 0;
  bool ended_ = false;
};

}  // namespace

std::optional<JournalContents> ReadJournal(int fd, std::string* error) {
  auto fail = [&](std::string text) -> std::optional<JournalContents> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  JournalLineReader lines(fd);
  std::string_view line;
  const JournalLineReader::Read first = lines.Next(line);
  if (first == JournalLineReader::Read::Failed) return fail("The journal cannot be read");
  if (first != JournalLineReader::Read::Line) return fail("This is not a journal: it has no header line");
  const std::vector<std::string_view> header = SplitTabs(line);
  if (header.size() != 6 || header[0] != kMagic) return fail("This is not a journal: its header line is not one");

  JournalContents contents;
  std::optional<std::string> tool = UnescapeJournalPath(ValueOf(header[1], "tool"));
  std::optional<std::string> root = UnescapeJournalPath(ValueOf(header[2], "root"));
  const std::string_view rootId = ValueOf(header[3], "root-id");
  const size_t colon = rootId.find(':');
  std::optional<std::string> settings = UnescapeJournalPath(ValueOf(header[5], "settings"));
  if (!tool || !root || root->empty() || root->find('\0') != std::string::npos || !settings ||
      colon == std::string_view::npos || !ParseNumber(rootId.substr(0, colon), contents.rootIdentity.device) ||
      !ParseNumber(rootId.substr(colon + 1), contents.rootIdentity.inode)) {
    return fail("The journal's header line is damaged");
  }
  contents.tool = std::move(*tool);
  contents.root = std::move(*root);
  contents.started = std::string(ValueOf(header[4], "started"));
  contents.settings = std::move(*settings);

  for (int64_t lineNumber = 2;; ++lineNumber) {
    const JournalLineReader::Read read = lines.Next(line);
    if (read == JournalLineReader::Read::End) break;
    std::optional<JournalEntry> entry;
    if (read == JournalLineReader::Read::Line) entry = ParseEntry(line);
    if (!entry) {
      contents.damage = read == JournalLineReader::Read::Failed
                            ? "The journal cannot be read from line " + std::to_string(lineNumber) +
                                  " on; the lines from it on are left alone"
                            : "Line " + std::to_string(lineNumber) +
                                  " of the journal is damaged; reading stopped there, and the lines from it on are "
                                  "left alone";
      break;
    }
    contents.entries.push_back(std::move(*entry));
  }
  return contents;
}

std::optional<JournalContents> ReadJournal(const std::filesystem::path& path, std::string* error) {
  int64_t size = 0;
  const UniqueFd fd = OpenRegularFile(path, size);
  if (!fd) {
    if (error) *error = "The journal cannot be opened";
    return std::nullopt;
  }
  return ReadJournal(fd.get(), error);
}

}  // namespace brenvik

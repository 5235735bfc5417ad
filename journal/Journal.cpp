#include "journal/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
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
  if (!from || !to || from->empty()) return std::nullopt;
  if (entry.kind != JournalEntryKind::FolderCreated && to->empty()) return std::nullopt;
  entry.from = std::move(*from);
  entry.to = std::move(*to);
  if (!ParseNumber(f[3], entry.file.device) || !ParseNumber(f[4], entry.file.inode) ||
      !ParseNumber(f[5], entry.file.size)) {
    return std::nullopt;
  }
  return entry;
}

}  // namespace

std::optional<JournaledFile> RegularFileIdentityAt(int folderFd, std::string_view name) {
  struct stat st {};
  if (name.empty() || ::fstatat(folderFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return JournaledFile{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<int64_t>(st.st_size)};
}

std::string EscapeJournalPath(std::string_view path) {
  std::string text;
  text.reserve(path.size());
  for (const char c : path) {
    switch (c) {
      case '\\': text += "\\\\"; break;
      case '\t': text += "\\t"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      default: text += c;
    }
  }
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
  struct stat rootStat {};
  if (::fstat(rootFd, &rootStat) != 0) return std::nullopt;
  const std::string folderName(kJournalFolderName);
  if (::mkdirat(rootFd, folderName.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  UniqueFd folder(::openat(rootFd, folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return std::nullopt;

  const time_t now = std::time(nullptr);
  const std::string stamp = LocalTimeText(now, "%Y-%m-%d %H-%M-%S");
  UniqueFd fd;
  std::string name;
  for (int n = 1; n < 1000 && !fd; ++n) {
    name = std::string(tool) + " " + stamp + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".tsv";
    fd = UniqueFd(::openat(folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                           0600));
    if (!fd && errno != EEXIST) return std::nullopt;
  }
  if (!fd) return std::nullopt;

  std::string header(kMagic);
  header += "\ttool=" + EscapeJournalPath(tool);
  header += "\troot=" + EscapeJournalPath(root.native());
  header += "\troot-id=" + std::to_string(rootStat.st_dev) + ":" + std::to_string(rootStat.st_ino);
  header += "\tstarted=" + LocalTimeText(now, "%Y-%m-%dT%H:%M:%S%z");
  header += "\tsettings=" + EscapeJournalPath(settings);
  header += '\n';
  const std::filesystem::path path = root / folderName / name;
  if (!WriteFull(fd.get(), header.data(), header.size())) {
    ::unlinkat(folder.get(), name.c_str(), 0);
    return std::nullopt;
  }
  return JournalWriter(std::move(fd), path);
}

bool JournalWriter::Append(std::string_view kind, std::string_view first, std::string_view second,
                           const JournaledFile& file) {
  std::string line(kind);
  line += '\t' + EscapeJournalPath(first) + '\t' + EscapeJournalPath(second);
  line += '\t' + std::to_string(file.device) + '\t' + std::to_string(file.inode) + '\t' + std::to_string(file.size);
  line += '\t' + LocalTimeText(std::time(nullptr), "%Y-%m-%dT%H:%M:%S");
  char crc[16];
  std::snprintf(crc, sizeof crc, "\t%08x\n", LineCrc(line));
  line += crc;
  // One write per line: a killed job leaves whole lines, or a last line without its line feed.
  return WriteFull(fd_.get(), line.data(), line.size());
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
                              bool replace) {
  const std::optional<JournaledFile> file = RegularFileIdentityAt(fromFolderFd, fromName);
  if (!file || toName.empty()) return JournaledMove::Failed;
  if (journal && !journal->RecordMove(fromRelative, toRelative, *file)) return JournaledMove::JournalFailed;
  const MoveResult moved = replace ? (MoveRegularFileAt(fromFolderFd, fromName, toFolderFd, toName) ? MoveResult::Moved
                                                                                                   : MoveResult::Failed)
                                    : MoveNoReplaceAt(fromFolderFd, fromName, toFolderFd, toName);
  if (moved == MoveResult::Moved) return JournaledMove::Moved;
  if (journal) journal->RecordKept(fromRelative, toRelative, *file);
  return moved == MoveResult::TargetExists ? JournaledMove::TargetExists : JournaledMove::Failed;
}

std::optional<JournalContents> ReadJournal(const std::filesystem::path& path, std::string* error) {
  auto fail = [&](std::string text) -> std::optional<JournalContents> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return fail("The journal cannot be opened");
  const int64_t size = st.st_size;
  std::string text(static_cast<size_t>(size), '\0');
  if (ReadFull(fd.get(), text.data(), text.size()) != size) return fail("The journal cannot be read");

  std::string_view rest(text);
  const size_t headerEnd = rest.find('\n');
  if (headerEnd == std::string_view::npos) return fail("This is not a journal: it has no header line");
  const std::vector<std::string_view> header = SplitTabs(rest.substr(0, headerEnd));
  rest.remove_prefix(headerEnd + 1);
  if (header.size() != 6 || header[0] != kMagic) return fail("This is not a journal: its header line is not one");

  JournalContents contents;
  std::optional<std::string> tool = UnescapeJournalPath(ValueOf(header[1], "tool"));
  std::optional<std::string> root = UnescapeJournalPath(ValueOf(header[2], "root"));
  const std::string_view rootId = ValueOf(header[3], "root-id");
  const size_t colon = rootId.find(':');
  std::optional<std::string> settings = UnescapeJournalPath(ValueOf(header[5], "settings"));
  if (!tool || !root || root->empty() || !settings || colon == std::string_view::npos ||
      !ParseNumber(rootId.substr(0, colon), contents.rootDevice) ||
      !ParseNumber(rootId.substr(colon + 1), contents.rootInode)) {
    return fail("The journal's header line is damaged");
  }
  contents.tool = std::move(*tool);
  contents.root = std::move(*root);
  contents.started = std::string(ValueOf(header[4], "started"));
  contents.settings = std::move(*settings);

  for (int lineNumber = 2; !rest.empty(); ++lineNumber) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // a write the job did not finish
    std::optional<JournalEntry> entry = ParseEntry(rest.substr(0, end));
    if (!entry) {
      contents.damage = "Line " + std::to_string(lineNumber) +
                        " of the journal is damaged; reading stopped there, and the lines from it on are left alone";
      break;
    }
    contents.entries.push_back(std::move(*entry));
    rest.remove_prefix(end + 1);
  }
  return contents;
}

}  // namespace brenvik

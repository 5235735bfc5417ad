#include "extension/ExtensionJob.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/core/TemporaryFolder.h"
#include "app/core/TextHelpers.h"
#include "extension/FileTypeIdentifier.h"
#include "platform/ParallelWalk.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {

namespace {

constexpr size_t kRecordBufferSize = 64 * 1024;

void AppendUtf16Le(std::string& out, std::u16string_view text) {
  const size_t at = out.size();
  out.resize(at + text.size() * 2);
  for (size_t i = 0; i < text.size(); ++i) {
    out[at + 2 * i] = static_cast<char>(text[i] & 0xFF);
    out[at + 2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
}

// Reads a result file front to back through a buffer, so memory stays flat for any size.
class RecordReader {
 public:
  explicit RecordReader(int fd) : fd_(fd) {}

  // Copies the next `size` bytes into `out`; false when the file ends first or a read fails.
  bool take(size_t size, std::string& out) {
    out.clear();
    while (out.size() < size) {
      if (at_ == buffer_.size()) {
        buffer_.resize(kRecordBufferSize);
        const int64_t got = ReadFull(fd_, buffer_.data(), buffer_.size());
        if (got <= 0) return false;
        buffer_.resize(static_cast<size_t>(got));
        at_ = 0;
      }
      const size_t n = std::min(size - out.size(), buffer_.size() - at_);
      out.append(buffer_, at_, n);
      at_ += n;
    }
    return true;
  }

 private:
  int fd_;
  std::string buffer_;
  size_t at_ = 0;
};

std::u16string Utf16LeText(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  return text;
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

}  // namespace

std::u16string TallyText(int64_t identified, int64_t scanned) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Numbers: %" PRId64 " / %" PRId64, identified, scanned);
  return Utf16(buffer);
}

bool AppendResultRecord(std::string& out, std::u16string_view type, std::u16string_view path, FileIdentity identity) {
  const size_t typeBytes = type.size() * 2, pathBytes = path.size() * 2;
  if (typeBytes > UINT16_MAX || pathBytes > UINT16_MAX) return false;
  out += static_cast<char>(typeBytes & 0xFF);
  out += static_cast<char>(typeBytes >> 8);
  out += static_cast<char>(pathBytes & 0xFF);
  out += static_cast<char>(pathBytes >> 8);
  AppendUtf16Le(out, type);
  AppendUtf16Le(out, path);
  AppendIdentityBytes(out, identity);
  return true;
}

ExtensionCheckOutcome RunExtensionCheck(const ExtensionCheckOptions& options, DocumentReader& /*reader*/,
                                        ExtensionCounters& counters, const std::atomic<int>& stop,
                                        ExtensionSink& sink) {
  sink.StatusText(std::u16string(kDetectingExtensionText));
  ExtensionCheckOutcome outcome;
  UniqueFd resultFile;
  if (options.cacheMode) {
    TemporaryResultFile created = CreateTemporaryResultFile(options.temporaryFolder);
    if (!created.fd) {
      sink.StatusText(std::u16string(kCheckResultFileFailedText));
      return outcome;
    }
    resultFile = std::move(created.fd);
    outcome.resultFile = std::move(created.path);
  }

  outcome.rootIdentity = FolderIdentity(options.root);
  std::string records;
  bool recordsLost = false;
  const auto writeRecords = [&] {
    if (!WriteFull(resultFile.get(), records.data(), records.size())) recordsLost = true;
    records.clear();
  };
  // Workers identify files, each with its own reader for the compound-file probe, and make the
  // texts of those identified; rows, counts and records follow in walk order on this thread.
  struct Identified {
    FileIdentity identity;
    std::u16string type;  // empty: not identified
    std::u16string path;
  };
  ParallelWalkOptions walk;
  walk.workers = options.workers;
  walk.stopFlag = &stop;
  ParallelWalkFiles(
      options.root, walk,
      [&stop](const WalkedFile& file) {
        thread_local DocumentReader probeReader;
        // Stop also interrupts the compound file being probed, not only the walk between files.
        const ReaderStopScope readerStop(probeReader, &stop);
        Identified found;
        const std::string_view type = IdentifyFileTypeAt(file.folderFd, file.name.data(), probeReader);
        if (!type.empty()) found = {IdentityAt(file.folderFd, file.name), Utf16(type), BytesToText(file.Path())};
        return found;
      },
      [&](const WalkedFile&, Identified&& found) {
        if (!found.type.empty()) {
          if (options.cacheMode) {
            AppendResultRecord(records, found.type, found.path, found.identity);
            if (records.size() >= kRecordBufferSize) writeRecords();
          }
          if (!options.cacheMode || counters.rowCounter < kPreviewRowLimit)
            sink.RowFound({counters.rowCounter++, std::move(found.type), std::move(found.path), found.identity});
          ++counters.identified;
        }
        ++counters.scanned;
        sink.Tally(counters.identified, counters.scanned);
        // A result file that misses records would let Rename pass over files silently.
        return !recordsLost;
      });
  if (resultFile) {
    if (!recordsLost) writeRecords();
    if (!CloseOutput(resultFile) || recordsLost) {
      DeleteFile(outcome.resultFile);
      outcome.resultFile.clear();
      sink.StatusText(std::u16string(kCheckResultFileFailedText));
      return outcome;
    }
  }

  sink.StatusText(std::u16string(kDetectExtensionCompletedText));
  outcome.completed = true;
  return outcome;
}

bool CorrectExtension(std::u16string_view type, std::u16string_view path) {
  return CorrectListedExtension(ListedTree({}, {}), type, path, {});
}

bool CorrectListedExtension(const ListedTree& tree, std::u16string_view type, std::u16string_view path,
                            FileIdentity identity) {
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos || slash == 0) return false;
  const std::u16string_view name = path.substr(slash + 1);

  std::u16string_view base = name;
  std::u16string oldExtension;
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos && dot != 0) {
    base = name.substr(0, dot);
    for (char16_t c : name.substr(dot + 1)) oldExtension += AsciiLower(c);
  }
  if (oldExtension == type) return true;

  const std::optional<ListedTree::Entry> file = tree.Reach(TextToPath(path), identity);
  if (!file) return false;
  std::u16string newName(base);
  newName += u'.';
  newName += type;
  ResetAttributesAt(file->folder.get(), file->name);
  return MoveNoReplaceAt(file->folder.get(), file->name, file->folder.get(), TextToPath(newName).native()) ==
         MoveResult::Moved;
}

void RunExtensionListRename(const std::filesystem::path& root, FileIdentity rootIdentity,
                            const std::vector<ExtensionRenameRow>& checkedRows, ExtensionCounters& counters,
                            const std::atomic<int>& stop, ExtensionSink& sink) {
  sink.StatusText(std::u16string(kModifyingExtensionText));
  const ListedTree tree(root, rootIdentity);
  for (auto row = checkedRows.rbegin(); row != checkedRows.rend() && !stop.load(); ++row) {
    if (CorrectListedExtension(tree, row->type, row->path, row->identity)) {
      sink.RowRenamed(row->row);
      --counters.rowCounter;
    }
  }
  sink.StatusText(std::u16string(kModifyExtensionCompletedText));
}

void RunExtensionCacheRename(const std::filesystem::path& root, FileIdentity rootIdentity,
                             const std::filesystem::path& resultFile, const std::atomic<int>& stop,
                             ExtensionSink& sink) {
  sink.StatusText(std::u16string(kModifyingExtensionText));
  UniqueFd file = resultFile.empty() ? UniqueFd() : OpenShared(resultFile);
  if (!file) {
    sink.StatusText(std::u16string(kRenameResultFileUnreadableText));
  } else {
    const ListedTree tree(root, rootIdentity);
    const int64_t length = FileSize(file.get());
    RecordReader records(file.get());
    std::string lengths, type, path, identity;
    for (int64_t position = 0; position < length && !stop.load();) {
      if (!records.take(4, lengths)) break;
      const size_t typeBytes = LoadU16(reinterpret_cast<const uint8_t*>(lengths.data()));
      const size_t pathBytes = LoadU16(reinterpret_cast<const uint8_t*>(lengths.data()) + 2);
      if (!records.take(typeBytes, type) || !records.take(pathBytes, path) || !records.take(kIdentityBytes, identity))
        break;
      CorrectListedExtension(tree, Utf16LeText(type), Utf16LeText(path),
                             IdentityFromBytes(reinterpret_cast<const unsigned char*>(identity.data())));
      position += static_cast<int64_t>(4 + typeBytes + pathBytes + kIdentityBytes);
    }
  }
  sink.StatusText(std::u16string(kModifyExtensionCompletedText));
}

}  // namespace brenvik

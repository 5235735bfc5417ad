#include "rename/RenameJob.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/core/TemporaryFolder.h"
#include "platform/ParallelWalk.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

// A path longer than this many bytes cannot come from a walk; a record claiming more is damage.
constexpr uint32_t kMaxRecordBytes = 1 << 20;
constexpr size_t kBufferBytes = 1 << 20;
// Files a Check takes between two updates of its count.
constexpr int32_t kCountStep = 1024;

// Looks at every byte without an early exit, so the compiler can test many at once.
bool IsAscii(std::string_view bytes) {
  unsigned char seen = 0;
  for (const char c : bytes) seen |= static_cast<unsigned char>(c);
  return (seen & 0x80) == 0;
}

// The lossless text of a walked path into `text`; most recovered names are plain ASCII and skip
// the decoder.
void AssignPathText(std::string_view bytes, std::u16string& text) {
  if (!IsAscii(bytes)) {
    text = BytesToText(bytes);
    return;
  }
  text.resize(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) text[i] = static_cast<unsigned char>(bytes[i]);
}

// Appends path records to the result file through a buffer; remembers the first write failure.
class RecordWriter {
 public:
  explicit RecordWriter(int fd) : fd_(fd) { buffer_.reserve(kBufferBytes); }

  // The path bytes as the lossless UTF-16 text; plain ASCII names skip the conversion.
  void append(std::string_view pathBytes, FileIdentity identity) {
    if (!IsAscii(pathBytes)) return append(std::u16string_view(BytesToText(pathBytes)), identity);
    char* out = reserveRecord(pathBytes.size());
    for (const char c : pathBytes) {
      *out++ = c;
      *out++ = 0;
    }
    finishRecord(identity);
  }

  void append(std::u16string_view path, FileIdentity identity) {
    char* out = reserveRecord(path.size());
    for (const char16_t unit : path) {
      *out++ = static_cast<char>(unit & 0xFF);
      *out++ = static_cast<char>(unit >> 8);
    }
    finishRecord(identity);
  }

  bool flush() {
    if (!buffer_.empty() && ok_) ok_ = WriteFull(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
  }

  bool ok() const { return ok_; }

 private:
  // Room for a record of `units` UTF-16 units with its length already written; the path follows.
  char* reserveRecord(size_t units) {
    const uint32_t length = static_cast<uint32_t>(units * 2);
    const size_t at = buffer_.size();
    buffer_.resize(at + 4 + length);
    for (int k = 0; k < 4; ++k) buffer_[at + k] = static_cast<char>((length >> (8 * k)) & 0xFF);
    return buffer_.data() + at + 4;
  }

  void finishRecord(FileIdentity identity) {
    AppendIdentityBytes(buffer_, identity);
    if (buffer_.size() >= kBufferBytes) flush();
  }

  int fd_;
  bool ok_ = true;
  std::string buffer_;
};

// Reads the result file front to back through a buffer.
class RecordReader {
 public:
  explicit RecordReader(int fd) : fd_(fd), buffer_(kBufferBytes) {}

  // The next record's path and identity; false at the end of the file or at a damaged record.
  bool next(std::u16string& path, FileIdentity& identity) {
    unsigned char header[4];
    if (!read(header, sizeof header)) return false;
    const uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) | (uint32_t{header[3]} << 24);
    if (length > kMaxRecordBytes) return false;
    bytes_.resize(length);
    if (!read(bytes_.data(), length)) return false;
    path.resize(length / 2);
    for (size_t i = 0; i < path.size(); ++i)
      path[i] = static_cast<char16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8));
    unsigned char identityBytes[kIdentityBytes];
    if (!read(identityBytes, sizeof identityBytes)) return false;
    identity = IdentityFromBytes(identityBytes);
    return true;
  }

 private:
  bool read(unsigned char* out, size_t count) {
    while (count > 0) {
      if (position_ == filled_) {
        const int64_t got = ReadAt(fd_, buffer_.data(), buffer_.size(), offset_);
        if (got <= 0) return false;
        offset_ += got;
        position_ = 0;
        filled_ = static_cast<size_t>(got);
      }
      const size_t take = std::min(count, filled_ - position_);
      std::memcpy(out, buffer_.data() + position_, take);
      position_ += take;
      out += take;
      count -= take;
    }
    return true;
  }

  int fd_;
  std::vector<unsigned char> buffer_;
  std::vector<unsigned char> bytes_;
  int64_t offset_ = 0;
  size_t position_ = 0;
  size_t filled_ = 0;
};

}  // namespace

std::u16string NumbersText(int32_t count) { return u"Numbers: " + DecimalText(count); }

std::u16string NumbersText(int32_t done, int32_t total) {
  return u"Numbers: " + DecimalText(done) + u" / " + DecimalText(total);
}

CheckOutcome RunCheck(const RenameEngine& engine, const std::filesystem::path& root, const std::atomic<int>& stop,
                      RenameJobSink& sink, int workers) {
  CheckOutcome outcome;
  const bool cacheMode = engine.settings().cacheMode == kCacheModeFiles;
  TemporaryResultFile resultFile;
  if (cacheMode) {
    resultFile = CreateTemporaryResultFile(engine.settings().temporaryFolder);
    if (!resultFile.fd) {
      sink.statusText(kRenameFailedToGenerate);
      outcome.completed = false;
      return outcome;
    }
  }
  RecordWriter records(resultFile.fd.get());

  // The status line follows the count in steps; the last count taken is always shown at the end.
  int32_t counted = 0;
  int32_t shown = 0;
  const auto showCount = [&] {
    if (counted != shown) sink.numbers(counted);
    shown = counted;
  };
  std::u16string rowText;  // one buffer for every row's text; the sink copies what it keeps

  outcome.rootIdentity = FolderIdentity(root);
  struct Taken {
    FileIdentity identity;
    std::string path;
  };
  ParallelWalkOptions options;
  options.workers = workers;
  options.stopFlag = &stop;
  ParallelWalkFiles(
      root, options,
      [&engine](const WalkedFile& file) -> std::optional<Taken> {
        if (!engine.Select(file.folderPath, file.name)) return std::nullopt;
        // Only the files taken are looked up, so Rename can tell them from any put in their place.
        return Taken{IdentityAt(file.folderFd, file.name), file.Path()};
      },
      [&](const WalkedFile&, std::optional<Taken>&& taken) {
        if (!taken) return true;
        if (!cacheMode || outcome.rowCounter < kRenamePreviewRows) {
          AssignPathText(taken->path, rowText);
          sink.rowFound(outcome.rowCounter, rowText, taken->identity);
        }
        ++outcome.rowCounter;
        if (cacheMode) {
          records.append(taken->path, taken->identity);
          if (!records.ok()) return false;
        }
        counted = outcome.rowCounter;
        if (counted - shown >= kCountStep) showCount();
        return true;
      });
  showCount();

  if (cacheMode) {
    if (!records.flush()) {
      // A result file with records missing would rename only part of what the list promised.
      resultFile.fd.reset();
      DeleteFile(resultFile.path);
      sink.statusText(kRenameFailedToGenerate);
      outcome.completed = false;
      return outcome;
    }
    outcome.resultFile = resultFile.path;
  }
  return outcome;
}

void RunListRename(RenameEngine& engine, const ListRows& rows, const std::atomic<int>& stop, RenameJobSink& sink) {
  const ListedTree tree(rows.root.path, rows.root.identity);
  const int32_t count = static_cast<int32_t>(rows.paths.size());
  for (int32_t row = 0; row < count; ++row) {
    if (rows.checked[static_cast<size_t>(row)].load() != 0) {
      engine.RenameFromContent(tree, rows.paths[static_cast<size_t>(row)], rows.identities[static_cast<size_t>(row)]);
      sink.numbers(row + 1, count);
      sink.rowDone(row);
    }
    if (stop.load() != 0) return;
  }
}

CacheRenameOutcome RunCacheRename(RenameEngine& engine, const CheckedRoot& root,
                                  const std::filesystem::path& resultFile, const std::atomic<int>& stop,
                                  RenameJobSink& sink) {
  UniqueFd fd = resultFile.empty() ? UniqueFd() : OpenShared(resultFile);
  if (!fd) {
    sink.statusText(kRenameFailedToAccess);
    return CacheRenameOutcome::FileUnavailable;
  }
  RecordReader records(fd.get());
  const ListedTree tree(root.path, root.identity);
  std::u16string path;
  FileIdentity identity;
  int32_t count = 0;
  while (stop.load() == 0 && records.next(path, identity)) {
    ++count;
    engine.RenameFromContent(tree, path, identity);
    sink.numbers(count);
  }
  fd.reset();
  ResetAttributes(resultFile);
  DeleteFile(resultFile);
  return CacheRenameOutcome::Done;
}

}  // namespace brenvik

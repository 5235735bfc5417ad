#include "dbrepair/BlockRepair.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "core/FillPatternText.h"
#include "core/RefusalTexts.h"
#include "dbrepair/FillPattern.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

struct ReferenceCopy {
  UniqueFd fd;
  int64_t length = 0;  // 0 when the copy could not be opened: it is never used
  const std::filesystem::path* path = nullptr;
};

// An input opened for reading with every other reader and writer allowed. Only a regular file
// is a database copy: a FIFO would read as an empty file (or never end), a folder not at all.
UniqueFd OpenInput(const std::filesystem::path& path) { return OpenSharedInput(path, false); }

// Why a read or write failed: the system's reason, or a shrunken input when the read came up
// short of what the file's length promised.
std::string FailureReason(int64_t transferred, int savedErrno) {
  if (transferred >= 0) return "the file became shorter during the repair";
  return std::generic_category().message(savedErrno);
}

// The reason may come localised from the C library, so it is read as UTF-8.
std::u16string FailureText(std::string_view what, const std::filesystem::path& path, const std::string& reason) {
  return Ascii(what) + u": " + PathToText(path) + u" (" + Utf8ToText(reason) + u"), the repaired file is incomplete";
}

class RepairRun {
 public:
  RepairRun(const RepairRequest& request, const std::atomic<int>& stop, RepairReporter& reporter)
      : request_(request),
        stop_(stop),
        reporter_(reporter),
        blockSize_(BlockSizeOf(request.mode)),
        test_(request.pattern, blockSize_) {}

  RepairResult run() {
    reporter_.Status(RepairStartText(request_.mode));
    // Only a regular file is read: a FIFO would read as an empty file or block for ever.
    const FileKind kind = KindOfPath(request_.corrupted);
    if (kind != FileKind::Missing && kind != FileKind::Regular) return fail(RepairEnd::Refused, kFailedAccessText);
    corrupted_ = OpenInput(request_.corrupted);
    const int64_t length = corrupted_ ? FileSize(corrupted_.get()) : -1;
    if (length < 0) return fail(RepairEnd::FailedAccess, kFailedAccessText);

    // The output must never be one of the inputs: it is refused before anything is truncated.
    std::vector<std::filesystem::path> inputs{request_.corrupted};
    inputs.insert(inputs.end(), request_.references.begin(), request_.references.end());
    OutputRefusal refusal = OutputRefusal::None;
    output_ = CreateOutput(request_.repaired, inputs, {}, &refusal);
    if (!output_) return fail(refusal != OutputRefusal::None ? RepairEnd::Refused : RepairEnd::FailedCreate, kFailedCreateText);

    openReferences();
    progressMaximum_ = length / static_cast<int64_t>(kRepairChunkSize);
    reporter_.Progress(0, progressMaximum_);
    RepairEnd end = copyChunks(length);
    if (EndsCompleted(end)) end = closeOutput(end);
    closeAll();
    // A stopped run reports like a finished one; a failed run never says "completed".
    reporter_.Status(EndsCompleted(end) ? RepairCompletedText(request_.mode, result_.counts) : failure_);
    result_.end = end;
    return result_;
  }

 private:
  RepairResult fail(RepairEnd end, std::u16string_view status) {
    closeAll();
    reporter_.Status(status);
    result_.end = end;
    return result_;
  }

  void openReferences() {
    references_.reserve(request_.references.size());
    for (const auto& path : request_.references) {
      ReferenceCopy copy;
      copy.path = &path;
      copy.fd = OpenInput(path);
      copy.length = copy.fd ? FileSize(copy.fd.get()) : -1;
      if (copy.length < 0) {
        copy.fd.reset();
        copy.length = 0;
        reporter_.Status(kFailedAccessText);
      }
      references_.push_back(std::move(copy));
    }
  }

  RepairEnd copyChunks(int64_t length) {
    std::vector<uint8_t> chunk(kRepairChunkSize);
    std::vector<uint8_t> block(blockSize_);
    for (int64_t position = 0; position < length;) {
      if (stop_.load() != 0) return RepairEnd::Stopped;
      const size_t size = static_cast<size_t>(std::min<int64_t>(length - position, kRepairChunkSize));
      const int64_t got = ReadAt(corrupted_.get(), chunk.data(), size, position);
      if (got != static_cast<int64_t>(size)) {
        failure_ = FailureText("Failed read file", request_.corrupted, FailureReason(got, errno));
        return RepairEnd::FailedRead;
      }
      // The last block of the file is tested over the full block size, the bytes past the end
      // counting as zero bytes (they are never written).
      const size_t tested = (size + blockSize_ - 1) / blockSize_ * blockSize_;
      std::fill(chunk.begin() + static_cast<ptrdiff_t>(size), chunk.begin() + static_cast<ptrdiff_t>(tested), 0);

      for (size_t offset = 0; offset < size; offset += blockSize_) {
        uint8_t* lost = chunk.data() + offset;
        if (!test_.isLost(lost)) continue;
        ++result_.counts.marked;
        if (!replaceFromReferences(position + static_cast<int64_t>(offset), lost, block)) return RepairEnd::FailedRead;
      }

      if (!WriteFull(output_.get(), chunk.data(), size)) {
        failure_ = FailureText("Failed write file", request_.repaired, FailureReason(-1, errno));
        return RepairEnd::FailedWrite;
      }
      position += static_cast<int64_t>(size);
      reporter_.Progress(position / static_cast<int64_t>(kRepairChunkSize), progressMaximum_);
      reporter_.Tally(result_.counts);  // shown as RepairCountsText in the status line
    }
    return RepairEnd::Completed;
  }

  // Copies the block at `at` from the first reference copy that holds it intact over `target`.
  // False only when a reference copy fails to read (the run then ends).
  bool replaceFromReferences(int64_t at, uint8_t* target, std::vector<uint8_t>& block) {
    const int64_t end = at + static_cast<int64_t>(blockSize_);
    for (const ReferenceCopy& copy : references_) {
      if (copy.length < end) continue;
      const int64_t got = ReadAt(copy.fd.get(), block.data(), blockSize_, at);
      if (got != static_cast<int64_t>(blockSize_)) {
        failure_ = FailureText("Failed read file", *copy.path, FailureReason(got, errno));
        return false;
      }
      if (test_.isLost(block.data())) continue;
      std::memcpy(target, block.data(), blockSize_);
      ++result_.counts.repaired;
      return true;
    }
    return true;
  }

  // A write error that the file system reports only at close still fails the run.
  RepairEnd closeOutput(RepairEnd end) {
    if (CloseOutput(output_)) return end;
    failure_ = FailureText("Failed write file", request_.repaired, FailureReason(-1, errno));
    return RepairEnd::FailedWrite;
  }

  void closeAll() {
    references_.clear();
    corrupted_.reset();
    output_.reset();
  }

  const RepairRequest& request_;
  const std::atomic<int>& stop_;
  RepairReporter& reporter_;
  int64_t progressMaximum_ = 0;  // whole MiB of the damaged file
  const size_t blockSize_;
  const BlockTest test_;
  UniqueFd corrupted_;
  UniqueFd output_;
  std::vector<ReferenceCopy> references_;
  RepairResult result_;
  std::u16string failure_;
};

}  // namespace

std::u16string RepairStartText(BlockMode mode) {
  return mode == BlockMode::Sector ? u"Repair database ..." : u"Repair database...";
}

std::u16string RepairCountsText(const RepairCounts& counts) {
  return u"Repairs:" + Ascii(std::to_string(counts.repaired)) + u" / " + Ascii(std::to_string(counts.marked));
}

std::u16string RepairCompletedText(BlockMode mode, const RepairCounts& counts) {
  const std::u16string lead = mode == BlockMode::Sector ? u"Repair database completed### " : u"Repair database completed###";
  return lead + RepairCountsText(counts);
}

std::u16string_view RepairRequestFrom(const RepairForm& form, RepairRequest& request) {
  if (form.corrupted.empty() || form.repaired.empty() || form.references.empty()) return kParameterErrorText;
  std::optional<std::vector<uint8_t>> pattern = ParseFillPattern(form.patternText);
  if (!pattern) return kByteContentRefusedText;
  request = {form.corrupted, form.repaired, form.references, form.mode, std::move(*pattern)};
  return {};
}

RepairResult RunRepair(const RepairRequest& request, const std::atomic<int>& stop, RepairReporter& reporter) {
  return RepairRun(request, stop, reporter).run();
}

}  // namespace brenvik

#include "invalid_files/InvalidFileActions.h"

#include "core/TextHelpers.h"
#include "core/RecordFile.h"
#include "platform/ByteOrder.h"
#include "platform/DirectoryWalk.h"
#include "platform/NoFollow.h"

namespace brenvik {

std::filesystem::path DeadFolderOf(const std::filesystem::path& root) { return JoinPath(root, kDeadFolderName); }

std::string RelativeBelowRoot(const std::filesystem::path& root, const std::filesystem::path& file) {
  std::string prefix = root.native();
  if (prefix.empty()) return {};
  if (prefix.back() != '/') prefix += '/';
  const std::string& path = file.native();
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return {};
  std::string relative = path.substr(prefix.size());
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    const std::string_view part(relative.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return {};
    start = end + 1;
  }
  return relative;
}

InvalidFileRemover::InvalidFileRemover(std::filesystem::path root, bool moveAside)
    : root_(std::move(root)), rootFd_(OpenFolder(root_)), moveAside_(moveAside) {}

bool InvalidFileRemover::Remove(const std::filesystem::path& file) { return Act(file, moveAside_); }

bool InvalidFileRemover::Delete(const std::filesystem::path& file) { return Act(file, false); }

void InvalidFileRemover::PrepareDeadFolder() {
  if (rootFd_) OpenFolderBelow(rootFd_.get(), kDeadFolderName, true);
}

bool InvalidFileRemover::Act(const std::filesystem::path& file, bool moveAside) {
  if (!rootFd_) return false;
  const std::string relative = RelativeBelowRoot(root_, file);
  if (relative.empty()) return false;
  const size_t slash = relative.rfind('/');
  const std::string_view folder = slash == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, slash);
  const std::string_view name = slash == std::string::npos ? std::string_view(relative) : std::string_view(relative).substr(slash + 1);

  const UniqueFd from = OpenFolderBelow(rootFd_.get(), folder, false);
  if (!from || !IsRegularFileAt(from.get(), name)) return false;
  ResetAttributesAt(from.get(), name);
  if (!moveAside) return DeleteRegularFileAt(from.get(), name);

  // The file's folders are recreated below the DEAD folder, outermost first.
  std::string target = kDeadFolderName;
  if (!folder.empty()) target.append("/").append(folder);
  const UniqueFd to = OpenFolderBelow(rootFd_.get(), target, true);
  return to && MoveRegularFileAt(from.get(), name, to.get(), name);
}

DeleteOutcome RunInvalidFileDelete(const DeleteRequest& request, const std::atomic<int>& stop,
                                   InvalidFileReporter& reporter) {
  DeleteOutcome outcome;
  reporter.Status(kDeletingText);
  InvalidFileRemover remover(request.root, request.moveAside);
  if (request.moveAside) remover.PrepareDeadFolder();
  const auto stopped = [&] { return stop.load(std::memory_order_relaxed) != 0; };

  if (request.mode == kCacheModeFiles) {
    UniqueFd file = OpenShared(request.resultFile);
    if (!file) {
      outcome.resultFileUnreadable = true;
      reporter.TallyFailure(kTemporaryFileAccessText);
    } else {
      RecordFileReader records(file.get(), kPathRecordLength);
      while (!stopped()) {
        const auto path = records.NextPath();
        if (!path) break;
        if (remover.Remove(*path)) ++outcome.removed;
      }
      file.reset();
      reporter.ClearRows();
      ResetAttributes(request.resultFile);
      DeleteFile(request.resultFile);
    }
  } else {
    for (auto row = request.markedRows.rbegin(); row != request.markedRows.rend() && !stopped(); ++row)
      if (remover.Remove(row->path)) {
        ++outcome.removed;
        reporter.RowDone(row->index);
      }
  }

  if (request.removeEmptyFolders) {
    reporter.Status(kDeletingFoldersText);
    RemoveEmptyFolders(request.root);
  }
  reporter.Status(kDeleteCompletedText);
  return outcome;
}

void RemoveEmptyFolders(const std::filesystem::path& folder) {
  WalkOptions options;
  options.wantSize = false;
  options.reportFolderLeft = true;
  WalkTree(folder, options, [](const WalkEntry& entry) {
    // After its contents were visited; only an empty folder goes.
    if (entry.kind == WalkEntryKind::FolderLeft) RemoveFolder(std::filesystem::path(std::string(entry.path)));
    return WalkControl::Continue;
  });
}

bool SaveResultList(const std::filesystem::path& file,
                    const std::vector<std::pair<std::u16string, std::u16string>>& rows) {
  UniqueFd out = CreateOutput(file);
  if (!out) return false;
  std::u16string text = u"\xFEFF";
  for (const auto& [size, path] : rows) text.append(size).append(u" \t ").append(path).append(u"\r\n");
  std::string bytes;
  AppendUtf16Le(bytes, text);
  return WriteFull(out.get(), bytes.data(), bytes.size());
}

}  // namespace brenvik

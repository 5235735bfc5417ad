#include "journal/JobJournal.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/NoFollow.h"

namespace brenvik {

JobJournal::JobJournal(int rootFd, std::filesystem::path root, std::string tool, std::string settings)
    : rootFd_(rootFd), root_(std::move(root)), tool_(std::move(tool)), settings_(std::move(settings)) {}

JournalWriter* JobJournal::Writer() {
  if (!writer_ && !failed_) {
    writer_ = JournalWriter::Begin(rootFd_, root_, tool_, settings_);
    failed_ = !writer_;
  }
  return writer_ ? &*writer_ : nullptr;
}

MoveResult JobJournal::Move(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName,
                            std::string_view fromRelative, std::string_view toRelative,
                            const JournaledFile* known) {
  JournalWriter* writer = rootFd_ < 0 ? nullptr : Writer();
  if (failed_) return MoveResult::Failed;
  switch (JournaledMoveAt(writer, fromFolderFd, fromName, toFolderFd, toName, fromRelative, toRelative, known)) {
    case JournaledMove::Moved: return MoveResult::Moved;
    case JournaledMove::TargetExists: return MoveResult::TargetExists;
    case JournaledMove::Failed: return MoveResult::Failed;
    case JournaledMove::JournalFailed: break;
  }
  failed_ = true;
  return MoveResult::Failed;
}

UniqueFd JobJournal::OpenOrMakeFolder(std::string_view relative) {
  // The journal is begun first: no folder is made that its lines could not name.
  JournalWriter* writer = rootFd_ < 0 ? nullptr : Writer();
  if (!writer) return UniqueFd();
  std::vector<std::string> created;
  UniqueFd folder = OpenFolderBelow(rootFd_, relative, true, &created);
  for (size_t i = 0; i < created.size(); ++i) {
    const RelativeName made = SplitRelative(created[i]);
    const UniqueFd parent = OpenFolderBelow(rootFd_, made.folder, false);
    const std::optional<FileIdentity> identity = parent ? FolderIdentityAt(parent.get(), made.name) : std::nullopt;
    if (!identity) return UniqueFd();  // swapped away at once: this file stays where it is
    if (!writer->RecordFolderCreated(created[i], {*identity, 0})) {
      // The folders not journaled go again, innermost first (each is still empty).
      failed_ = true;
      for (size_t j = created.size(); j-- > i;) {
        const RelativeName up = SplitRelative(created[j]);
        if (const UniqueFd upFolder = OpenFolderBelow(rootFd_, up.folder, false))
          RemoveEmptyFolderAt(upFolder.get(), up.name);
      }
      return UniqueFd();
    }
  }
  return folder;
}

RelativeName SplitRelative(std::string_view relative) {
  const size_t slash = relative.rfind('/');
  if (slash == std::string_view::npos) return {{}, relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

std::string SiblingPath(std::string_view relative, std::string_view newName) {
  const size_t slash = relative.rfind('/');
  std::string path(slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash + 1));
  path += newName;
  return path;
}

std::filesystem::path LatestJournal(const std::filesystem::path& root, std::string_view tool) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = root / std::string(kJournalFolderName);
  if (!fs::is_directory(fs::symlink_status(folder, error))) return {};
  const std::string prefix = std::string(tool) + " ";
  fs::path latest;
  fs::file_time_type latestTime{};
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().native();
    if (name.rfind(prefix, 0) != 0 || !name.ends_with(".tsv") || !it->is_regular_file(error) || it->is_symlink(error))
      continue;
    const fs::file_time_type time = fs::last_write_time(it->path(), error);
    if (error) continue;
    if (latest.empty() || time > latestTime || (time == latestTime && it->path() > latest)) {
      latest = it->path();
      latestTime = time;
    }
  }
  return latest;
}

}  // namespace brenvik

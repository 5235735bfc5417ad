#include "core/TemporaryFolder.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/TextHelpers.h"
#include "platform/PathText.h"
#include "platform/PrivateFolder.h"

namespace brenvik {
namespace {

struct CreatedFiles {
  std::mutex mutex;
  std::vector<std::filesystem::path> paths;
  std::vector<FileIdentity> identities;  // which file each path named when it was made
};

CreatedFiles& Created() {
  static CreatedFiles files;
  return files;
}

// Brenvik's own folder of this run, known by its identity so that a folder put in its place
// later is never emptied.
struct OwnFolder {
  std::mutex mutex;
  std::filesystem::path path;
  FileIdentity identity;
  bool made = false;   // PrepareOwnTemporaryFolder has run and found or made a folder
  bool fresh = false;  // a mkdtemp folder of this run alone: removed as a whole on close
};

OwnFolder& Own() {
  static OwnFolder own;
  return own;
}

// The private folders made in this run, each kept open from its making to the close.
struct PrivateFolder {
  std::filesystem::path parent;  // the temporary folder it was made in, as given
  std::filesystem::path path;
  UniqueFd fd;
};

struct PrivateFolders {
  std::mutex mutex;
  std::vector<PrivateFolder> made;
};

PrivateFolders& Privates() {
  static PrivateFolders folders;
  return folders;
}

bool IsDefaultFolder(const std::filesystem::path& folder) {
  const auto normal = [](const std::filesystem::path& p) {
    std::string text = p.lexically_normal().native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
  };
  return normal(folder) == normal(DefaultTemporaryFolder());
}

}  // namespace

std::filesystem::path DefaultTemporaryFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::filesystem::path(runtime) / "tvk";
  return std::filesystem::path("/tmp/tvk-" + std::to_string(CurrentUserId()));
}

std::filesystem::path PrepareOwnTemporaryFolder() {
  const std::filesystem::path preferred = DefaultTemporaryFolder();
  std::filesystem::path chosen = preferred;
  bool fresh = false;
  FileIdentity identity;

  CreateFolders(preferred.parent_path(), 0700);
  UniqueFd fd = MakeOrOpenFolderNoFollow(preferred);
  if (!fd || !IsPrivateFolder(fd.get(), identity)) {
    // A link, or a folder someone else can reach, is never used or emptied: a fresh one is made.
    fd.reset();
    for (std::string pattern : {preferred.native() + "-XXXXXX", "/tmp/tvk-" + std::to_string(CurrentUserId()) + "-XXXXXX"}) {
      fd = MakeFreshFolder(pattern);
      if (fd && IsPrivateFolder(fd.get(), identity)) {
        chosen = pattern;
        fresh = true;
        break;
      }
      fd.reset();
    }
    if (!fd) return {};
  }

  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  own.path = chosen;
  own.identity = identity;
  own.made = true;
  own.fresh = fresh;
  return chosen;
}

bool EnsureFolder(const std::filesystem::path& folder) {
  return CreateFolders(folder, IsDefaultFolder(folder) ? 0700 : 0777);
}

std::filesystem::path SettleTemporaryFolder(const std::optional<std::filesystem::path>& named) {
  if (!named) return PrepareOwnTemporaryFolder();
  if (named->empty() || !EnsureFolder(*named)) return {};
  return *named;
}

void RecordTemporaryFile(const std::filesystem::path& path) {
  auto& created = Created();
  std::lock_guard lock(created.mutex);
  // A name made again (a result file of the same second, after the first was deleted) is now
  // another file: the identity kept is the new one.
  int64_t size = 0;
  const FileIdentity identity = IdentityOf(OpenRegularFile(path, size).get());
  KeepForUrgentRemoval(path, false);
  for (size_t i = 0; i < created.paths.size(); ++i) {
    if (created.paths[i] != path) continue;
    created.identities[i] = identity;
    return;
  }
  created.paths.push_back(path);
  created.identities.push_back(identity);
}

UniqueFd OpenCreatedTemporaryFile(const std::filesystem::path& path) {
  FileIdentity made;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    for (size_t i = 0; i < created.paths.size(); ++i)
      if (created.paths[i] == path) made = created.identities[i];
  }
  int64_t size = 0;
  UniqueFd fd = OpenRegularFile(path, size);
  if (!made.known() || !fd || IdentityOf(fd.get()) != made) return UniqueFd();
  return fd;
}

TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder) {
  return CreateTemporaryResultFile(folder, TextToBytes(MakeTimeStampName()));
}

TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder, const std::string& baseName) {
  for (int attempt = 1; attempt < 10000; ++attempt) {
    std::string name = baseName;
    if (attempt > 1) name += " (" + std::to_string(attempt) + ")";
    std::filesystem::path path = JoinPath(folder, name);
    UniqueFd fd = CreateExclusive(path);
    if (fd) {
      RecordTemporaryFile(path);
      return {std::move(fd), std::move(path)};
    }
    if (errno != EEXIST) break;
  }
  return {};
}

int PrivateFolderIn(const std::filesystem::path& temporaryFolder) {
  PrivateFolders& folders = Privates();
  std::lock_guard lock(folders.mutex);
  // The latest folder made for this temporary folder, while it still exists. One that was removed
  // behind Brenvik's back is replaced, but its descriptor stays open until close, since a reader
  // may still hold it.
  for (auto it = folders.made.rbegin(); it != folders.made.rend(); ++it) {
    if (it->parent != temporaryFolder) continue;
    if (IsStillLinked(it->fd.get())) return it->fd.get();
    break;
  }
  if (!EnsureFolder(temporaryFolder)) return -1;
  std::string pattern = JoinPath(temporaryFolder, "brenvik-private-XXXXXX").native();
  UniqueFd fd = MakeFreshFolder(pattern);
  FileIdentity identity;
  if (!fd || !IsPrivateFolder(fd.get(), identity)) return -1;
  folders.made.push_back({temporaryFolder, pattern, std::move(fd)});
  KeepForUrgentRemoval(pattern, true);
  return folders.made.back().fd.get();
}

namespace {

// The files and private folders this run made, removed; the own folder is left to the caller.
void RemoveRecordedAndPrivate() {
  std::vector<std::filesystem::path> recorded;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    recorded.swap(created.paths);
    created.identities.clear();
  }
  for (const auto& path : recorded) {
    ForgetUrgentRemoval(path);
    DeleteFile(path);
  }

  std::vector<PrivateFolder> privates;
  {
    PrivateFolders& folders = Privates();
    std::lock_guard lock(folders.mutex);
    privates.swap(folders.made);
  }
  for (PrivateFolder& folder : privates) {
    ForgetUrgentRemoval(folder.path);
    EmptyFolderAt(folder.fd.get(), folder.path, true);
    // Closed before its removal: a removed folder still open costs ext4 milliseconds on close.
    folder.fd.reset();
    // rmdir never follows a link and never removes a folder that still holds anything.
    RemoveFolder(folder.path);
  }
}

// Brenvik's own folder of this run, opened, while its path still names that folder.
UniqueFd OpenOwnFolder(const OwnFolder& own) {
  if (!own.made) return UniqueFd();
  UniqueFd fd = OpenFolderNoFollow(own.path);
  if (!fd || IdentityOf(fd.get()) != own.identity) return UniqueFd();
  return fd;
}

}  // namespace

void RemoveCreatedTemporaryFiles() {
  RemoveRecordedAndPrivate();
  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  // rmdir removes it only when nothing is left in it.
  if (own.fresh && OpenOwnFolder(own)) RemoveFolder(own.path);
}

void RemoveCreatedTemporaryFilesAtOnce() noexcept { RemoveKeptPathsAtOnce(); }

void ClearTemporaryFolders() {
  RemoveRecordedAndPrivate();
  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  const UniqueFd fd = OpenOwnFolder(own);
  if (!fd) return;
  EmptyFolderAt(fd.get(), own.path, own.fresh);
  if (own.fresh) RemoveFolder(own.path);
}

}  // namespace brenvik

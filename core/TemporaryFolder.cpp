#include "core/TemporaryFolder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/TextHelpers.h"
#include "platform/DirectoryWalk.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

struct CreatedFiles {
  std::mutex mutex;
  std::vector<std::filesystem::path> paths;
};

CreatedFiles& Created() {
  static CreatedFiles files;
  return files;
}

bool IsDefaultFolder(const std::filesystem::path& folder) {
  const auto normal = [](const std::filesystem::path& p) { return p.lexically_normal().native(); };
  std::string a = normal(folder), b = normal(DefaultTemporaryFolder());
  while (a.size() > 1 && a.back() == '/') a.pop_back();
  while (b.size() > 1 && b.back() == '/') b.pop_back();
  return a == b || IsSameFile(folder, DefaultTemporaryFolder());
}

}  // namespace

std::filesystem::path DefaultTemporaryFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::filesystem::path(runtime) / "tvk";
  return std::filesystem::path("/tmp/tvk-" + std::to_string(::getuid()));
}

bool EnsureFolder(const std::filesystem::path& folder) {
  return CreateFolders(folder, IsDefaultFolder(folder) ? 0700 : 0777);
}

void RecordTemporaryFile(const std::filesystem::path& path) {
  auto& created = Created();
  std::lock_guard lock(created.mutex);
  for (const auto& known : created.paths)
    if (known == path) return;
  created.paths.push_back(path);
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

void ClearTemporaryFolder(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> recorded;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    recorded.swap(created.paths);
  }
  for (const auto& path : recorded) DeleteFile(path);

  if (folder.empty() || !IsDefaultFolder(folder)) return;
  WalkOptions options;
  options.wantSize = false;
  options.reportOthers = true;
  WalkTree(folder, options, [](const WalkEntry& entry) {
    if (entry.kind != WalkEntryKind::Folder) DeleteFile(std::filesystem::path(std::string(entry.path)));
    return WalkControl::Continue;
  });
}

}  // namespace brenvik

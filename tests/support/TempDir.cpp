#include "tests/support/TempDir.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace brenvik::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brenvik-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Give back write permission first so read-only test files and folders can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                   ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

SmallTmpfs::SmallTmpfs(const char* size) {
  const std::string options = std::string("size=") + size + ",mode=0700";
  mounted_ = ::geteuid() == 0 && ::mount("tmpfs", folder_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TreeSnapshot SnapshotTree(const std::filesystem::path& root, std::string_view skip) {
  TreeSnapshot tree;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!skip.empty() && it->path().filename() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string relative = std::filesystem::relative(it->path(), root, ignored).native();
    if (it->is_symlink(ignored)) tree[relative] = "link:" + std::filesystem::read_symlink(it->path(), ignored).native();
    else if (it->is_directory(ignored)) tree[relative] = "folder";
    else tree[relative] = "file:" + ReadFile(it->path());
  }
  return tree;
}

std::optional<std::string> CommandOutput(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  if (::pclose(pipe) != 0) return std::nullopt;
  return out;
}

}  // namespace brenvik::testing

#pragma once
// A fresh folder for one test, removed with everything in it afterwards.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace brenvik::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// A tmpfs of `size` (mount option text, e.g. "64k") mounted on a fresh folder for one test, so a
// full disk is a real one. Needs root; mounted() is false when the mount was refused.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const char* size);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::filesystem::path& path() const { return folder_.path(); }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return folder_ / name; }

 private:
  TempDir folder_;
  bool mounted_ = false;
};

// Writes bytes to a file, creating missing parent folders.
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file as bytes (empty when missing).
std::string ReadFile(const std::filesystem::path& path);
// What a shell command writes to its output, or nothing when it fails.
std::optional<std::string> CommandOutput(const std::string& command);

// Everything below `root`, relative path -> "file:<bytes>", "folder" or "link:<target>", links not
// followed; entries named `skip` (and what is below them) are left out.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::filesystem::path& root, std::string_view skip = {});

}  // namespace brenvik::testing

#pragma once
// The readers take paths, so each fuzz input is written to a file of this process first.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace brenvik::fuzzing {

// One scratch folder per process, removed when the process ends, so replays and fuzz runs leave
// nothing behind in the temporary folder.
class ScratchFolderOfProcess {
 public:
  ScratchFolderOfProcess() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brenvik-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchFolderOfProcess() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolderOfProcess(const ScratchFolderOfProcess&) = delete;
  ScratchFolderOfProcess& operator=(const ScratchFolderOfProcess&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path ScratchFolder() {
  static const ScratchFolderOfProcess folder;
  return folder.path();
}

inline std::filesystem::path WriteInput(const uint8_t* data, size_t size, const char* name) {
  const std::filesystem::path path = ScratchFolder() / name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  return path;
}

}  // namespace brenvik::fuzzing

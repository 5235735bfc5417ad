#pragma once
// The physical reference the folder tools are measured against: a walk that opens every regular
// file of a tree and reads its first bytes, on one or several threads, and nothing else.
#include <cstdint>
#include <filesystem>

namespace brenvik::bench {

struct ReferenceWalkResult {
  int64_t files = 0;
  double seconds = 0;
  double rate() const { return seconds > 0 ? static_cast<double>(files) / seconds : 0; }
};

// Walks `root` with `threads` threads taking folders from a shared queue; each regular file is
// opened and `readBytes` bytes are read from it.
ReferenceWalkResult ReferenceWalk(const std::filesystem::path& root, int threads, size_t readBytes = 512);

// Drops the page cache (root only; false elsewhere), so the next walk reads from the disk.
bool DropPageCache();

// A tree of `files` files of `size` bytes, `perFolder` to a folder, below `root`.
void MakeFlatTree(const std::filesystem::path& root, int files, int perFolder, size_t size);

}  // namespace brenvik::bench

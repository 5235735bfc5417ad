#pragma once
// The temporary result file of a cache-mode scan: no header, one record per invalid file in the
// order found, each a 4-byte little-endian byte length L followed by L bytes of the path in
// UTF-16LE (the lossless form, so any file name survives).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace brenvik {

class ResultRecordWriter {
 public:
  explicit ResultRecordWriter(int fd) : fd_(fd) {}
  ~ResultRecordWriter() { Flush(); }
  // Both false once any write has failed (a full disk, say).
  bool Append(const std::filesystem::path& path);
  bool Flush();

 private:
  int fd_;
  std::vector<uint8_t> pending_;
  bool failed_ = false;
};

class ResultRecordReader {
 public:
  explicit ResultRecordReader(int fd) : fd_(fd) {}
  // The next path; nothing at the end of the file or at a record that cannot be whole (a length
  // that is odd or beyond any path, or a record cut short).
  std::optional<std::filesystem::path> Next();

 private:
  int fd_;
  int64_t offset_ = 0;
};

}  // namespace brenvik

#pragma once
// The temporary result file of a cache-mode pass: no header, one record per item in the order
// found. A record holds a fixed number of texts: first each text's byte length (u16 or u32,
// little-endian), then the texts in UTF-16LE without terminators, then a fixed number of raw
// trailer bytes (which file it was, where a tool keeps that). Paths are stored in their lossless
// text form, so any file name survives.
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

enum class RecordLength : uint8_t { U16 = 2, U32 = 4 };

// Path records (Invalid Files, File Rename): one text, a u32 length, and the file's identity as
// the trailer (kIdentityBytes).
inline constexpr RecordLength kPathRecordLength = RecordLength::U32;
// A text longer than this many bytes cannot come from a walk; a record claiming more is damage.
inline constexpr uint32_t kLongestRecordText = 1 << 20;

// Appends records through a buffer; remembers the first failure.
class RecordFileWriter {
 public:
  RecordFileWriter(int fd, RecordLength width) : fd_(fd), width_(width) {}
  ~RecordFileWriter() { Flush(); }
  RecordFileWriter(const RecordFileWriter&) = delete;
  RecordFileWriter& operator=(const RecordFileWriter&) = delete;

  // Both false once any write has failed (a full disk, say) or a text was too long for the
  // length width: a result file with a record missing would let a later pass skip a file.
  bool Append(std::initializer_list<std::u16string_view> texts, std::string_view trailer = {});
  bool AppendPath(const std::filesystem::path& path) { return AppendPathBytes(path.native()); }
  // A path record from a walked name's bytes; plain ASCII names skip the text conversion.
  bool AppendPathBytes(std::string_view bytes, std::string_view trailer = {});
  bool Flush();
  bool ok() const { return !failed_; }

 private:
  int fd_;
  RecordLength width_;
  std::string pending_;
  bool failed_ = false;
};

// Reads records front to back through a buffer, so memory stays flat for any file size.
class RecordFileReader {
 public:
  RecordFileReader(int fd, RecordLength width, size_t textsPerRecord = 1, size_t trailerBytes = 0)
      : fd_(fd), width_(width), texts_(textsPerRecord), trailerBytes_(trailerBytes) {}

  // The next record's texts (and its trailer bytes); false at the end of the file or at a record
  // that cannot be whole (an odd length, one beyond kLongestRecordText, or a record cut short).
  bool Next(std::vector<std::u16string>& texts, std::string* trailer = nullptr);
  // The next record of a path file, or nothing where Next would say false.
  std::optional<std::filesystem::path> NextPath();

 private:
  bool read(char* out, size_t count);

  int fd_;
  RecordLength width_;
  size_t texts_;
  size_t trailerBytes_;
  std::string buffer_;
  size_t at_ = 0;
  int64_t offset_ = 0;
  std::string bytes_;
};

}  // namespace brenvik

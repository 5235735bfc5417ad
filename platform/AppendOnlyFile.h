#pragma once
// A file written only at its end, one whole record per write: what a job journal needs so that a
// job killed at any moment leaves whole lines.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileOps.h"

namespace brenvik {

class AppendOnlyFile {
 public:
  enum class Made { Created, NameTaken, Failed };
  // Creates `name` in the open folder, new (mode 0600, never through a link); `made` says how
  // it went, and the file is open only when Created.
  static AppendOnlyFile CreateAt(int folderFd, const std::string& name, Made& made);

  bool isOpen() const { return static_cast<bool>(fd_); }
  // Writes `bytes` after what was written. The file is grown ahead in reserved steps, so that a
  // full disk fails here, before the record, and a record does not have to grow the file (its
  // cost is then about that of a copy); a process killed meanwhile leaves zero bytes after its
  // last record, which a reader takes as the unfinished end. False when the record could not be
  // written whole.
  bool Append(std::string_view bytes);

  // Gives back the room reserved beyond the last record.
  ~AppendOnlyFile();
  AppendOnlyFile() = default;
  AppendOnlyFile(AppendOnlyFile&&) = default;
  AppendOnlyFile& operator=(AppendOnlyFile&&) = default;

 private:
  explicit AppendOnlyFile(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
  int64_t written_ = 0;
  int64_t reserved_ = 0;
};

}  // namespace brenvik

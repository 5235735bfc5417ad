#include "platform/AppendOnlyFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace brenvik {

AppendOnlyFile AppendOnlyFile::CreateAt(int folderFd, const std::string& name, Made& made) {
  UniqueFd fd(::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  made = fd ? Made::Created : errno == EEXIST ? Made::NameTaken : Made::Failed;
  return AppendOnlyFile(std::move(fd));
}

bool AppendOnlyFile::Append(std::string_view bytes) {
  constexpr int64_t kReserveStep = 1 << 20;
  const int64_t end = written_ + static_cast<int64_t>(bytes.size());
  if (end > reserved_) {
    const int64_t reserve = std::max(end, reserved_ + kReserveStep);
    // A file system without fallocate is grown by the write itself.
    if (::fallocate(fd_.get(), 0, reserved_, reserve - reserved_) == 0) reserved_ = reserve;
    else if (errno != EOPNOTSUPP) return false;
  }
  const char* data = bytes.data();
  size_t left = bytes.size();
  int64_t at = written_;
  while (left > 0) {
    const ssize_t n = ::pwrite(fd_.get(), data, left, at);
    if (n < 0 && errno == EINTR) continue;
    // A part written stays zero-padded up to the next record: nothing after it counts.
    if (n <= 0) return false;
    data += n;
    left -= static_cast<size_t>(n);
    at += n;
  }
  written_ = end;
  return true;
}

AppendOnlyFile::~AppendOnlyFile() {
  if (fd_ && reserved_ > written_) (void)::ftruncate(fd_.get(), written_);
}

}  // namespace brenvik

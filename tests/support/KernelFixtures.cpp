#include "tests/support/KernelFixtures.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace brenvik::testing {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path) {
  std::string text = "'";
  for (char c : path.native()) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

}  // namespace

ScopedMount ScopedMount::Tmpfs(const fs::path& folder, uint64_t bytes) {
  ScopedMount mount;
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string options = "size=" + std::to_string(bytes);
  if (::geteuid() == 0 && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0) mount.folder_ = folder;
  return mount;
}

ScopedMount ScopedMount::Ramfs(const fs::path& folder) {
  ScopedMount mount;
  std::error_code error;
  fs::create_directories(folder, error);
  if (::geteuid() == 0 && ::mount("ramfs", folder.c_str(), "ramfs", 0, nullptr) == 0) mount.folder_ = folder;
  return mount;
}

ScopedMount ScopedMount::Formatted(const fs::path& device, const std::string& mkfsCommand, const std::string& type,
                                   const fs::path& folder) {
  ScopedMount mount;
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string command = mkfsCommand + " " + Quoted(device) + " >/dev/null 2>&1";
  if (std::system(command.c_str()) == 0 && ::mount(device.c_str(), folder.c_str(), type.c_str(), 0, nullptr) == 0)
    mount.folder_ = folder;
  return mount;
}

ScopedMount::~ScopedMount() {
  if (valid()) ::umount2(folder_.c_str(), MNT_DETACH);
}

LoopDevice::LoopDevice(const fs::path& backingFile, const std::string& options) {
  if (::geteuid() != 0) return;
  const std::string command = "losetup -f --show " + options + " " + Quoted(backingFile) + " 2>/dev/null";
  FILE* output = ::popen(command.c_str(), "r");
  if (output == nullptr) return;
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, output) != nullptr;
  if (::pclose(output) != 0 || !read) return;
  std::string node(line);
  while (!node.empty() && (node.back() == '\n' || node.back() == '\r')) node.pop_back();
  node_ = node;
}

LoopDevice::~LoopDevice() {
  if (!valid()) return;
  const int fd = ::open(node_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::ioctl(fd, LOOP_CLR_FD, 0);
  ::close(fd);
}

}  // namespace brenvik::testing

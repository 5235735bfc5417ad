#include "platform/Shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace brenvik {
namespace {

// Runs a program with arguments and returns its exit status, or -1 when it could not start.
int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a program without waiting for it to end (the child is reaped by a short-lived parent).
bool StartDetached(std::vector<std::string> args) {
  std::vector<std::string> wrapped{"setsid", "-f"};
  wrapped.insert(wrapped.end(), args.begin(), args.end());
  return RunProgram(std::move(wrapped)) == 0;
}

}  // namespace

std::string FileUri(const std::filesystem::path& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string uri = "file://";
  for (unsigned char c : path.native()) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 15];
    }
  }
  return uri;
}

bool ShowInFileManager(const std::filesystem::path& path) {
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  const int status = RunProgram({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.FileManager1",
                                 "--type=method_call", "/org/freedesktop/FileManager1",
                                 "org.freedesktop.FileManager1.ShowItems", "array:string:" + FileUri(absolute),
                                 "string:"});
  if (status == 0) return true;
  return StartDetached({"xdg-open", FileUri(absolute.parent_path())});
}

}  // namespace brenvik

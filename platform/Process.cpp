#include "platform/Process.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>

namespace brenvik {

bool IsTerminal(int fd) { return ::isatty(fd) != 0; }

int TerminalColumns(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void HandleSignals(std::initializer_list<int> signalNumbers, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int number : signalNumbers) ::sigaction(number, &action, nullptr);
}

void EndProcessAtOnce(int status) noexcept { ::_exit(status); }

bool RunsAsAdministrator() { return ::geteuid() == 0; }

void ReplaceProcess(const std::vector<std::string>& argv) {
  if (argv.empty()) return;
  std::vector<char*> pointers;
  for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
  pointers.push_back(nullptr);
  ::execvp(pointers[0], pointers.data());
}

}  // namespace brenvik

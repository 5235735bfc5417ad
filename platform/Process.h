#pragma once
// The process itself: its terminal, signals, rights, and its replacement by another program.
#include <initializer_list>
#include <string>
#include <vector>

namespace brenvik {

bool IsTerminal(int fd);
// The width of the terminal at `fd` in columns; 0 when it is no terminal.
int TerminalColumns(int fd);
// Calls `handler` on each of `signalNumbers`; reads and writes it interrupts go on (SA_RESTART).
void HandleSignals(std::initializer_list<int> signalNumbers, void (*handler)(int));
// Ends the process now, without running anything more (what a signal handler may do).
[[noreturn]] void EndProcessAtOnce(int status) noexcept;
// True when the process runs with the administrator's rights (effective user 0).
bool RunsAsAdministrator();
// Replaces the process with the program `argv[0]` (looked up in PATH) given `argv`; returns only
// when that failed, with errno set.
void ReplaceProcess(const std::vector<std::string>& argv);

}  // namespace brenvik

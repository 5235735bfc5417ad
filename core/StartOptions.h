#pragma once
// The few things the program's command line asks for, and starting it again with the rights raw
// disks need. Those rights come through pkexec and the polkit policy installed with the program:
// pkexec clears the environment, and lets DISPLAY and XAUTHORITY through only because that
// policy allows a GUI; a Wayland session's socket never passes, so it goes along as an argument.
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brenvik {

inline constexpr std::string_view kAdminOption = "--admin";
inline constexpr std::string_view kWaylandDisplayOption = "--wayland-display";

struct StartRequest {
  enum class Action { RunWindow, PrintVersion, PrintHelp, RestartAsAdmin, Refuse };
  Action action = Action::RunWindow;
  std::string waylandSocket;  // the session's Wayland socket, handed over through pkexec
  std::string message;        // Refuse: what is wrong with the command line
  std::vector<std::string> toolkitArguments;  // the rest, for the toolkit (-style, -platform, ...)
};

// Reads the arguments after the program name.
StartRequest ParseStartArguments(std::span<const std::string_view> arguments);

// The text of --help for the program called `program`.
std::string StartHelpText(std::string_view program);

// Looks up an environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(std::string_view name)>;
EnvironmentLookup ProcessEnvironment();

struct CommandPlan {
  std::vector<std::string> argv;  // empty when `problem` says why it cannot be done
  std::string problem;
};

// The command that starts `program` (this executable's absolute path) through pkexec, taking
// this session's display along: "pkexec <program>", plus the Wayland socket by its absolute
// path when the session has one. A session without any display gets a problem instead.
CommandPlan MakeAdminCommand(const std::string& program, const EnvironmentLookup& environment);

struct DisplaySetup {
  std::vector<std::pair<std::string, std::string>> variables;  // to set before the GUI starts
  std::string problem;  // the window cannot be shown; say this and stop
};

// What the GUI needs before it starts: a handed-over Wayland socket becomes WAYLAND_DISPLAY
// (with the Wayland platform tried first, X11 after); a process that pkexec started without
// any display gets a problem that says why, instead of a toolkit abort.
DisplaySetup PrepareDisplay(const StartRequest& request, const EnvironmentLookup& environment);

}  // namespace brenvik

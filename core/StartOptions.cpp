#include "core/StartOptions.h"

#include <cstdlib>

#include "platform/FileOps.h"

namespace brenvik {
namespace {

bool IsSet(const EnvironmentLookup& environment, std::string_view name) {
  const std::optional<std::string> value = environment(name);
  return value && !value->empty();
}

bool IsSocket(const std::string& path) {
  return KindOfPath(path) == FileKind::Socket;
}

// WAYLAND_DISPLAY names a socket in XDG_RUNTIME_DIR unless it is an absolute path already.
std::optional<std::string> WaylandSocketPath(const EnvironmentLookup& environment) {
  const std::optional<std::string> display = environment("WAYLAND_DISPLAY");
  if (!display || display->empty()) return std::nullopt;
  if (display->front() == '/') return display;
  const std::optional<std::string> runtime = environment("XDG_RUNTIME_DIR");
  if (!runtime || runtime->empty()) return std::nullopt;
  return *runtime + "/" + *display;
}

}  // namespace

StartRequest ParseStartArguments(std::span<const std::string_view> arguments) {
  StartRequest request;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--version" || argument == "-v") {
      request.action = StartRequest::Action::PrintVersion;
    } else if (argument == "--help" || argument == "-h") {
      request.action = StartRequest::Action::PrintHelp;
    } else if (argument == kAdminOption) {
      request.action = StartRequest::Action::RestartAsAdmin;
    } else if (argument == kWaylandDisplayOption && i + 1 < arguments.size() && !arguments[i + 1].empty() &&
               arguments[i + 1].front() == '/') {
      request.waylandSocket = std::string(arguments[++i]);
    } else if (argument == kWaylandDisplayOption) {
      return {StartRequest::Action::Refuse, {}, "--wayland-display needs the absolute path of a Wayland socket", {}};
    } else {
      request.toolkitArguments.emplace_back(argument);
    }
    // --help and --version answer at once, whatever follows.
    if (request.action == StartRequest::Action::PrintVersion || request.action == StartRequest::Action::PrintHelp)
      return request;
  }
  return request;
}

std::string StartHelpText(std::string_view program) {
  const std::string name(program);
  return "Usage: " + name + " [--admin] [Qt options such as -style NAME]\n"
         "A desktop toolbox for the work after a data recovery.\n\n"
         "  --admin      start again with the rights raw disks need, through pkexec\n"
         "  --version    print the version and exit\n"
         "  --help       print this help and exit\n\n"
         "Raw disks need root or membership of the disk group (sudo usermod -aG disk $USER,\n"
         "then log in again); without them every other tool works as usual.\n";
}

EnvironmentLookup ProcessEnvironment() {
  return [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

CommandPlan MakeAdminCommand(const std::string& program, const EnvironmentLookup& environment) {
  CommandPlan plan;
  const std::optional<std::string> wayland = WaylandSocketPath(environment);
  if (!wayland && !IsSet(environment, "DISPLAY")) {
    plan.problem = "there is no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return plan;
  }
  plan.argv = {"pkexec", program};
  if (wayland) plan.argv.insert(plan.argv.end(), {std::string(kWaylandDisplayOption), *wayland});
  return plan;
}

DisplaySetup PrepareDisplay(const StartRequest& request, const EnvironmentLookup& environment) {
  DisplaySetup setup;
  if (!request.waylandSocket.empty()) {
    if (!IsSocket(request.waylandSocket)) {
      setup.problem = "the Wayland socket " + request.waylandSocket + " is not there";
      return setup;
    }
    setup.variables.emplace_back("WAYLAND_DISPLAY", request.waylandSocket);
    // pkexec drops the session type by which the toolkit would choose Wayland itself.
    if (!IsSet(environment, "QT_QPA_PLATFORM")) setup.variables.emplace_back("QT_QPA_PLATFORM", "wayland;xcb");
    return setup;
  }
  const bool startedByPkexec = IsSet(environment, "PKEXEC_UID");
  if (startedByPkexec && !IsSet(environment, "DISPLAY") && !IsSet(environment, "WAYLAND_DISPLAY")) {
    setup.problem =
        "started through pkexec without a display: polkit passes the X11 display only to a program whose "
        "installed policy allows it, and never a Wayland socket. Start it with \"brenvik --admin\" from the "
        "desktop session, which hands the session's display over.";
  }
  return setup;
}

}  // namespace brenvik

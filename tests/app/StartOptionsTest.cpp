#include "core/StartOptions.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>

#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using Action = StartRequest::Action;

EnvironmentLookup Environment(std::map<std::string, std::string> variables) {
  return [variables](std::string_view name) -> std::optional<std::string> {
    auto it = variables.find(std::string(name));
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
}

StartRequest Parse(std::initializer_list<std::string_view> arguments) {
  return ParseStartArguments(std::span(arguments.begin(), arguments.size()));
}

TEST(StartOptionsTest, CommandLineIsReadStrictly) {
  EXPECT_EQ(Parse({}).action, Action::RunWindow);
  EXPECT_EQ(Parse({"--version"}).action, Action::PrintVersion);
  EXPECT_EQ(Parse({"--help", "--bogus"}).action, Action::PrintHelp);
  EXPECT_EQ(Parse({"--admin"}).action, Action::RestartAsAdmin);
  const StartRequest handedOver = Parse({"--wayland-display", "/run/user/1000/wayland-0"});
  EXPECT_EQ(handedOver.action, Action::RunWindow);
  EXPECT_EQ(handedOver.waylandSocket, "/run/user/1000/wayland-0");
  // A socket that is not an absolute path is refused rather than guessed at.
  for (const StartRequest& refused : {Parse({"--wayland-display", "wayland-0"}), Parse({"--wayland-display"})}) {
    EXPECT_EQ(refused.action, Action::Refuse);
    EXPECT_FALSE(refused.message.empty());
  }
  // The toolkit's own options still reach it.
  const StartRequest styled = Parse({"-style", "fusion", "--admin"});
  EXPECT_EQ(styled.action, Action::RestartAsAdmin);
  EXPECT_EQ(styled.toolkitArguments, (std::vector<std::string>{"-style", "fusion"}));
}

TEST(StartOptionsTest, AdminCommandTakesTheSessionDisplayAlong) {
  const std::string program = "/usr/bin/brenvik";
  // X11: pkexec itself passes DISPLAY and XAUTHORITY under the installed policy.
  EXPECT_EQ(MakeAdminCommand(program, Environment({{"DISPLAY", ":0"}})).argv,
            (std::vector<std::string>{"pkexec", program}));
  // Wayland: the socket goes as an absolute path, since the runtime folder does not go along.
  const CommandPlan wayland =
      MakeAdminCommand(program, Environment({{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", "/run/user/7"}}));
  EXPECT_EQ(wayland.argv,
            (std::vector<std::string>{"pkexec", program, "--wayland-display", "/run/user/7/wayland-0"}));
  EXPECT_EQ(MakeAdminCommand(program, Environment({{"WAYLAND_DISPLAY", "/tmp/w"}, {"DISPLAY", ":1"}})).argv,
            (std::vector<std::string>{"pkexec", program, "--wayland-display", "/tmp/w"}));
  // A relative socket without its folder cannot be found by the new process; X11 still can.
  EXPECT_EQ(MakeAdminCommand(program, Environment({{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}})).argv,
            (std::vector<std::string>{"pkexec", program}));
  for (const auto& none : {Environment({}), Environment({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "wayland-0"}})}) {
    const CommandPlan plan = MakeAdminCommand(program, none);
    EXPECT_TRUE(plan.argv.empty());
    EXPECT_NE(plan.problem.find("no display"), std::string::npos) << plan.problem;
  }
}

TEST(StartOptionsTest, ElevatedStartFindsItsDisplayOrSaysWhyNot) {
  testing::TempDir dir;
  const std::string socketPath = (dir.path() / "wayland-0").native();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  StartRequest handedOver;
  handedOver.waylandSocket = socketPath;
  DisplaySetup setup = PrepareDisplay(handedOver, Environment({{"PKEXEC_UID", "1000"}}));
  EXPECT_TRUE(setup.problem.empty());
  EXPECT_EQ(setup.variables, (std::vector<std::pair<std::string, std::string>>{
                                 {"WAYLAND_DISPLAY", socketPath}, {"QT_QPA_PLATFORM", "wayland;xcb"}}));
  // A platform the user chose stays chosen.
  setup = PrepareDisplay(handedOver, Environment({{"QT_QPA_PLATFORM", "xcb"}}));
  EXPECT_EQ(setup.variables.size(), 1u);

  // Not a socket (a regular file, or nothing): refused before the toolkit would abort on it.
  testing::WriteFile(dir.path() / "plain", "x");
  handedOver.waylandSocket = (dir.path() / "plain").native();
  EXPECT_FALSE(PrepareDisplay(handedOver, Environment({})).problem.empty());
  ::close(fd);

  // pkexec without the installed policy passes no display at all.
  const StartRequest plain;
  EXPECT_NE(PrepareDisplay(plain, Environment({{"PKEXEC_UID", "1000"}})).problem.find("pkexec"), std::string::npos);
  EXPECT_TRUE(PrepareDisplay(plain, Environment({{"PKEXEC_UID", "1000"}, {"DISPLAY", ":0"}})).problem.empty());
  EXPECT_TRUE(PrepareDisplay(plain, Environment({})).problem.empty());  // a plain start is the toolkit's business
  EXPECT_TRUE(PrepareDisplay(plain, Environment({})).variables.empty());
}

}  // namespace
}  // namespace brenvik

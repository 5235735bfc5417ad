#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/StartOptions.h"
#include "core/Translation.h"
#include "core/Version.h"
#include "app/CBrenvikApp.h"
#include "platform/Process.h"

namespace {

// The absolute path of this executable: the path the installed polkit policy names.
std::string ExecutablePath(const char* argv0) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(argv0) : self.native();
}

int RestartAsAdmin(const std::string& program, const char* name) {
  const brenvik::CommandPlan plan = brenvik::MakeAdminCommand(program, brenvik::ProcessEnvironment());
  if (!plan.problem.empty()) {
    std::fprintf(stderr, "%s\n",
                 brenvik::TranslateUtf8(std::string(name) + ": cannot start with disk access: " + plan.problem).c_str());
    return 1;
  }
  brenvik::ReplaceProcess(plan.argv);
  std::fprintf(stderr, "%s\n",
               brenvik::TranslateUtf8(std::string(name) + ": cannot run pkexec (" + std::strerror(errno) +
                                      "); install the pkexec package, or join the disk group").c_str());
  return 127;
}

}  // namespace

int main(int argc, char** argv) {
  brenvik::LoadCatalogueForProcess();
  const char* name = argc > 0 ? argv[0] : "brenvik";
  const std::string program = ExecutablePath(name);
  const std::string shortName = std::filesystem::path(program).filename().native();
  std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
  const brenvik::StartRequest request = brenvik::ParseStartArguments(arguments);

  switch (request.action) {
    case brenvik::StartRequest::Action::PrintVersion: {
      const std::u16string_view version = brenvik::kVersionText;
      std::printf("%s %s\n", shortName.c_str(), std::string(version.begin(), version.end()).c_str());
      return 0;
    }
    case brenvik::StartRequest::Action::PrintHelp:
      std::fputs(brenvik::TranslateUtf8(brenvik::StartHelpText(shortName)).c_str(), stdout);
      return 0;
    case brenvik::StartRequest::Action::Refuse:
      std::fprintf(stderr, "%s: %s\n%s", shortName.c_str(), brenvik::TranslateUtf8(request.message).c_str(),
                   brenvik::TranslateUtf8(brenvik::StartHelpText(shortName)).c_str());
      return 2;
    case brenvik::StartRequest::Action::RestartAsAdmin:
      if (!brenvik::RunsAsAdministrator()) return RestartAsAdmin(program, shortName.c_str());
      break;  // root already: nothing to ask for
    case brenvik::StartRequest::Action::RunWindow:
      break;
  }

  const brenvik::DisplaySetup display = brenvik::PrepareDisplay(request, brenvik::ProcessEnvironment());
  if (!display.problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", shortName.c_str(), brenvik::TranslateUtf8(display.problem).c_str());
    return 1;
  }
  for (const auto& [variable, value] : display.variables) ::setenv(variable.c_str(), value.c_str(), 1);

  // The toolkit sees the program name and the arguments left for it; its argv must outlive it.
  std::vector<std::string> toolkitStrings{name};
  toolkitStrings.insert(toolkitStrings.end(), request.toolkitArguments.begin(), request.toolkitArguments.end());
  std::vector<char*> toolkitArgv;
  for (std::string& argument : toolkitStrings) toolkitArgv.push_back(argument.data());
  toolkitArgv.push_back(nullptr);
  int toolkitArgc = static_cast<int>(toolkitStrings.size());
  brenvik::CBrenvikApp app(toolkitArgc, toolkitArgv.data());
  return app.run();
}

// brenvik-cli: the engines of the Brenvik pages behind a command line, one subcommand per tool.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "cli/Commands.h"
#include "core/TemporaryFolder.h"
#include "core/Translation.h"
#include "core/Version.h"

namespace {

using namespace brenvik::cli;

const Subcommand* const kSubcommands[] = {&kInvalidFilesCommand, &kExtensionCommand, &kRenameCommand,
                                          &kRepairDbCommand,    &kRaidCommand,      &kImageCommand,
                                          &kDisksCommand,       &kUndoCommand};

void PrintUsage(std::FILE* out) {
  PrintText(out, "Usage: brenvik-cli SUBCOMMAND [flags] [arguments]\n       brenvik-cli --version\n\n");
  for (const Subcommand* command : kSubcommands)
    std::fprintf(out, "  %-14s %s\n", std::string(command->name).c_str(),
                 brenvik::TranslateUtf8(command->summary).c_str());
  PrintText(out, "\nbrenvik-cli SUBCOMMAND --help shows a subcommand's flags.\n");
}

}  // namespace

int main(int argc, char** argv) {
  brenvik::LoadCatalogueForProcess();
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string_view first = argv[1];
  if (first == "--version") {
    std::printf("brenvik-cli %s\n", Utf8(brenvik::kVersionText).c_str());
    return kExitDone;
  }
  if (first == "--help" || first == "help") {
    PrintUsage(stdout);
    return kExitDone;
  }
  for (const Subcommand* command : kSubcommands) {
    if (command->name != first) continue;
    std::vector<Flag> flags(command->flags.begin(), command->flags.end());
    flags.insert(flags.end(), CommonFlags().begin(), CommonFlags().end());
    Arguments args;
    std::string error;
    if (!args.Parse(std::span<char* const>(argv + 2, static_cast<size_t>(argc - 2)), flags, error))
      return UsageError(error);
    if (args.Has("help")) {
      PrintHelp(*command, stdout);
      return kExitDone;
    }
    InstallStopHandler();
    Console console(args.Has("json"));
    int status = kExitFailed;
    try {
      status = command->run(args, console);
    } catch (const std::exception& e) {
      console.Status(FromUtf8(std::string("brenvik-cli: ") + e.what()));
    }
    console.EndProgress();
    std::fflush(stdout);
    // Result files and the text of documents read stay nowhere once the run is over.
    brenvik::RemoveCreatedTemporaryFiles();
    return status;
  }
  PrintText(stderr, "brenvik-cli: unknown subcommand " + std::string(argv[1]) + "\n\n");
  PrintUsage(stderr);
  return kExitUsage;
}

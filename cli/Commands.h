#pragma once
// The subcommands of brenvik-cli. A new one is a Subcommand in its own file, listed in
// kSubcommands (main.cpp).
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/CliSupport.h"
#include "platform/FileOps.h"

namespace brenvik::cli {

extern const Subcommand kInvalidFilesCommand;
extern const Subcommand kExtensionCommand;
extern const Subcommand kRenameCommand;
extern const Subcommand kRepairDbCommand;
extern const Subcommand kRaidCommand;
extern const Subcommand kImageCommand;
extern const Subcommand kDisksCommand;
extern const Subcommand kUndoCommand;

// Runs an engine job the way a page's startJob does, on this thread: with its request, the stop
// flag Ctrl+C sets, and a reporter; returns its result.
template <class Job, class Request, class Reporter>
auto RunJob(Job job, const Request& request, Reporter& reporter) {
  return job(request, StopFlag(), reporter);
}

// After a Check that ended `checkEnd`: runs the second pass its flag asks for (Delete, Rename)
// only after a complete Check, then deletes the Check's result file, which nothing else will read.
// Returns the exit status: the second pass's when it ran, else the Check's.
template <class CheckEnd, class SecondPass>
int AfterCheck(const Arguments& args, std::string_view flag, CheckEnd checkEnd,
               const std::filesystem::path& resultFile, SecondPass secondPass) {
  int status = ExitStatusOf(checkEnd);
  if (status == kExitDone && args.Has(flag)) status = ExitStatusOf(secondPass());
  if (!resultFile.empty()) DeleteFile(resultFile);
  return status;
}

inline int UsageError(const std::string& error) {
  PrintText(stderr, "brenvik-cli: " + error + " (see --help)\n");
  return kExitUsage;
}

}  // namespace brenvik::cli

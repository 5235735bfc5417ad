#pragma once
// The subcommands of brenvik-cli. A new one is a Subcommand in its own file, listed in
// kSubcommands (main.cpp).
#include <atomic>
#include <cstdio>
#include <string>

#include "cli/CliSupport.h"

namespace brenvik::cli {

extern const Subcommand kInvalidFilesCommand;
extern const Subcommand kExtensionCommand;
extern const Subcommand kRenameCommand;
extern const Subcommand kRepairDbCommand;
extern const Subcommand kRaidCommand;
extern const Subcommand kImageCommand;
extern const Subcommand kDisksCommand;

// Runs an engine job the way a page's startJob does, on this thread: with its request, the stop
// flag Ctrl+C sets, and a reporter; returns its result.
template <class Job, class Request, class Reporter>
auto RunJob(Job job, const Request& request, Reporter& reporter) {
  return job(request, StopFlag(), reporter);
}

inline int UsageError(const std::string& error) {
  std::fprintf(stderr, "brenvik-cli: %s (see --help)\n", error.c_str());
  return kExitUsage;
}

}  // namespace brenvik::cli

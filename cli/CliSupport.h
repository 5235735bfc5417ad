#pragma once
// What every brenvik-cli subcommand shares: its flags, the settings the Settings dialog gives,
// rows on standard output (tab-separated or JSON lines), status texts and a progress line on
// standard error, Ctrl+C as the tool's Stop, and the exit status.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/AppSettings.h"
#include "core/JobReporter.h"
#include "core/Translation.h"

namespace brenvik::cli {

// Exit statuses.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;    // the tool showed a failure or refusal text
inline constexpr int kExitUsage = 2;     // a flag the subcommand does not know, or a missing value
inline constexpr int kExitStopped = 130;  // Ctrl+C stopped the job; what it did so far is consistent

struct Flag {
  std::string_view name;   // without the leading "--"
  std::string_view value;  // the value's placeholder; empty for a switch
  std::string_view help;
};

// The flags of a subcommand, parsed. A flag may be given as "--name value" or "--name=value";
// arguments without "--" are positional.
class Arguments {
 public:
  // False with `error` set for an unknown flag or one without its value.
  bool Parse(std::span<char* const> args, std::span<const Flag> flags, std::string& error);
  bool Has(std::string_view name) const;
  std::optional<std::string> Value(std::string_view name) const;  // the last one given
  std::vector<std::string> Values(std::string_view name) const;   // every one, in order
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::vector<std::pair<std::string, std::string>> given_;
  std::vector<std::string> positional_;
};

// The flags every tool takes: the Settings dialog's, and the output form.
std::span<const Flag> CommonFlags();
// The settings record with the common flags applied; nullopt with `error` set on a bad value.
std::optional<AppSettings> SettingsFrom(const Arguments& args, std::string& error);
// Makes the temporary folder as the application does at start; false when it cannot be made.
bool PrepareTemporaryFolder(const AppSettings& settings);

// The job's stop flag, set by Ctrl+C (a second Ctrl+C ends the process at once).
std::atomic<int>& StopFlag();
void InstallStopHandler();
inline int ExitStatusAfterJob(bool failed) {
  return failed ? kExitFailed : StopFlag().load() != 0 ? kExitStopped : kExitDone;
}

// Standard output and standard error as the subcommands use them.
class Console {
 public:
  explicit Console(bool json);
  bool json() const { return json_; }

  // A row the page would list, with the page's column names. Tab-separated: the texts as the
  // file system holds them, with tab, newline and backslash written as \t, \n and \\. JSON: one
  // object per line, the column names as keys (names that are not UTF-8 keep their bytes as
  // \udcXX escapes, the lossless text form).
  void Row(std::span<const std::string_view> columns, std::span<const std::u16string> cells);
  // A status, completion or failure text on standard error, on a line of its own.
  void Status(std::u16string_view text);
  // The progress line on standard error, only when it is a terminal; at most ten times a second.
  void Progress(int64_t position, int64_t maximum);
  void ProgressText(std::u16string_view text);
  // Ends the progress line before other output.
  void EndProgress();

 private:
  bool throttled();

  bool json_;
  bool terminal_;
  bool progressShown_ = false;
  int64_t lastProgressMs_ = -1000;
};

// A reporter that writes a job's reports to the console: rows through `printRow`, the tally
// through `tallyText` on the progress line, status texts, failure texts in the tally's place and
// message rows. A status or message that is one of the tool's failure texts marks the run failed.
template <class RowT, class TallyT>
class ConsoleReporter : public JobReporter<RowT, TallyT> {
 public:
  ConsoleReporter(Console& console, std::vector<std::u16string> failureTexts)
      : console_(console), failureTexts_(std::move(failureTexts)) {}

  std::function<void(const RowT&)> printRow;
  std::function<std::u16string(const TallyT&)> tallyText;
  // Message rows whose title is not this one are failures (read or write errors, refusals).
  std::u16string neutralMessageTitle;

  bool failed() const { return failed_; }
  void MarkFailed() { failed_ = true; }

  void Status(std::u16string_view text) override {
    noteFailure(text);
    console_.Status(text);
  }
  void Tally(const TallyT& tally) override {
    if (tallyText) console_.ProgressText(tallyText(tally));
  }
  void TallyFailure(std::u16string_view text) override {
    failed_ = true;
    console_.Status(text);
  }
  void AddRow(const RowT& row) override {
    if (printRow) {
      console_.EndProgress();
      printRow(row);
    }
  }
  void Progress(int64_t position, int64_t maximum) override { console_.Progress(position, maximum); }
  void Message(std::u16string_view title, std::u16string_view description) override {
    if (title != neutralMessageTitle) failed_ = true;
    console_.EndProgress();
    // A message row is a text for people; as JSON it keeps the source texts scripts match.
    const std::u16string cells[] = {console_.json() ? std::u16string(title) : Translate(title),
                                    console_.json() ? std::u16string(description) : Translate(description)};
    static constexpr std::string_view kColumns[] = {"Title", "Description"};
    console_.Row(kColumns, cells);
  }

 private:
  void noteFailure(std::u16string_view text) {
    for (const std::u16string& failure : failureTexts_)
      if (text == failure) failed_ = true;
  }

  Console& console_;
  std::vector<std::u16string> failureTexts_;
  bool failed_ = false;
};

// A subcommand: its name, a one-line summary, its own flags, and what it does.
struct Subcommand {
  std::string_view name;
  std::string_view summary;
  std::string_view usage;        // the positional arguments, e.g. "PATH"
  std::string_view description;  // what it prints and does, for --help
  std::span<const Flag> flags;
  int (*run)(const Arguments& args, Console& console);
};

void PrintHelp(const Subcommand& command, std::FILE* out);

// The text as UTF-8 for messages.
std::string Utf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Prints a text for people in the user's language; line ends around it are kept.
void PrintText(std::FILE* out, std::string_view text);

// Reports a refusal the page would show as a message box; returns kExitFailed.
int Refuse(Console& console, std::u16string_view text);

}  // namespace brenvik::cli

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
#include <variant>
#include <vector>

#include "core/AppSettings.h"
#include "core/JobReporter.h"
#include "core/Translation.h"

namespace brenvik::cli {

// Exit statuses.
inline constexpr int kExitDone = 0;       // the job did all that was asked
inline constexpr int kExitFailed = 1;     // the job ended any other way than complete success
inline constexpr int kExitUsage = 2;      // a bad argument: an unknown flag, a missing or refused value
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
// How many rows a cache-mode Check lists: every one, streamed, unless --cache-mode files asks for
// the page's preview of the first rows.
int32_t ListedRows(const Arguments& args);
// Settles the temporary folder as the window does at start (the folder --temporary-path names,
// else Brenvik's own, a fresh private one when the usual one cannot be trusted) into `settings`;
// false when no folder can be made. What the run makes there is removed when it ends.
bool PrepareTemporaryFolder(AppSettings& settings, const Arguments& args);

// The job's stop flag, set by Ctrl+C (a second Ctrl+C ends the process at once).
std::atomic<int>& StopFlag();
void InstallStopHandler();
// The exit status of a job's end (see core/JobReporter.h): Completed 0, Stopped 130, Refused 2
// (what the job was given is refused, as a wrong argument is), any other 1.
template <class End>
int ExitStatusOf(End end) {
  if (end == End::Completed) return kExitDone;
  if (end == End::Stopped) return kExitStopped;
  if constexpr (requires { End::Refused; }) {
    if (end == End::Refused) return kExitUsage;
  }
  return kExitFailed;
}

// A row's value for programs under a stable lower-case key: a whole number (sizes in bytes), or
// a text (paths in the lossless text form).
struct MachineValue {
  std::string_view key;
  std::variant<int64_t, std::u16string> value;
};

// Standard output and standard error as the subcommands use them.
class Console {
 public:
  explicit Console(bool json);
  bool json() const { return json_; }

  // A row the page would list, with the page's column names. Tab-separated: the texts as the
  // file system holds them, with tab, newline and backslash written as \t, \n and \\. JSON: one
  // object per line, first the machine values under their keys (numbers as JSON numbers), then
  // the display texts under the column names; texts are UTF-8, and each byte of a name that is
  // not UTF-8 is kept as the escape \udcXX (XX its value), the lossless text form.
  void Row(std::span<const std::string_view> columns, std::span<const std::u16string> cells,
           std::span<const MachineValue> values = {});
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
// message rows. How the job ended is its result's to say, never these texts'.
template <class RowT, class TallyT>
class ConsoleReporter : public JobReporter<RowT, TallyT> {
 public:
  explicit ConsoleReporter(Console& console) : console_(console) {}

  std::function<void(const RowT&)> printRow;
  std::function<std::u16string(const TallyT&)> tallyText;

  void Status(std::u16string_view text) override { console_.Status(text); }
  void Tally(const TallyT& tally) override {
    if (tallyText) console_.ProgressText(tallyText(tally));
  }
  void TallyFailure(std::u16string_view text) override { console_.Status(text); }
  void AddRow(const RowT& row) override {
    if (printRow) {
      console_.EndProgress();
      printRow(row);
    }
  }
  void Progress(int64_t position, int64_t maximum) override { console_.Progress(position, maximum); }
  void Message(std::u16string_view title, std::u16string_view description) override {
    console_.EndProgress();
    // A message row is a text for people; as JSON it keeps the source texts scripts match.
    const std::u16string cells[] = {console_.json() ? std::u16string(title) : Translate(title),
                                    console_.json() ? std::u16string(description) : Translate(description)};
    static constexpr std::string_view kColumns[] = {"Title", "Description"};
    const MachineValue values[] = {{"title", cells[0]}, {"description", cells[1]}};
    console_.Row(kColumns, cells, values);
  }

 private:
  Console& console_;
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

// Reports a refusal of what was given, as the page shows it in a message box; returns kExitUsage.
int Refuse(Console& console, std::u16string_view text);
// Reports a failure before the job could start (the page's status text); returns kExitFailed.
int Fail(Console& console, std::u16string_view text);

}  // namespace brenvik::cli

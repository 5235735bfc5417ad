// brenvik-cli undo: a page's "Undo last job" for any journal.
#include "cli/Commands.h"
#include "journal/Undo.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr std::string_view kColumns[] = {"Old Path", "New Path", "Reason"};

int Run(const Arguments& args, Console& console) {
  if (args.positional().size() != 1) return UsageError("undo takes one JOURNAL");
  ConsoleReporter<UndoProblem, NoTally> reporter(console, {});
  reporter.printRow = [&console](const UndoProblem& problem) {
    // The reason is a text for people; as JSON it keeps the source text scripts match.
    const std::u16string reason = FromUtf8(problem.reason);
    const std::u16string cells[] = {BytesToText(problem.from), BytesToText(problem.to),
                                    console.json() ? reason : Translate(reason)};
    console.Row(kColumns, cells);
  };
  const UndoResult result = RunJob(RunUndo, UndoRequest{args.positional()[0]}, reporter);
  return ExitStatusAfterJob(!result.failure.empty() || !result.damage.empty() || !result.problems.empty());
}

}  // namespace

const Subcommand kUndoCommand{
    "undo", "Moves the files of a journaled job back to their old names.", "JOURNAL",
    "JOURNAL is a job's journal (in .brenvik-journal below the folder it ran in). Each file goes back,\n"
    "newest first, only while it is still the file the job moved and its old name is free; nothing is\n"
    "overwritten. Prints a row (Old Path, New Path, Reason) per file that could not be restored; the\n"
    "total (\"Restored: N / M\") and the undo's own journal go to standard error. Exits 1 when a file\n"
    "stayed or the journal is damaged.",
    {}, Run};

}  // namespace brenvik::cli

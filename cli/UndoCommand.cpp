// brenvik-cli undo: a page's "Undo last job" for any journal.
#include "cli/Commands.h"
#include "journal/Undo.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr std::string_view kColumns[] = {"Old Path", "New Path", "Reason"};

int Run(const Arguments& args, Console& console) {
  if (args.positional().size() != 1) return UsageError("undo takes one JOURNAL");
  ConsoleReporter<UndoProblem, NoTally> reporter(console);
  reporter.printRow = [&console](const UndoProblem& problem) {
    // The reason is a text for people; as JSON it keeps the source text scripts match.
    const std::u16string reason = FromUtf8(problem.reason);
    const std::u16string cells[] = {BytesToText(problem.from), BytesToText(problem.to),
                                    console.json() ? reason : Translate(reason)};
    const MachineValue values[] = {{"from", cells[0]}, {"to", cells[1]}, {"reason", reason}};
    console.Row(kColumns, cells, values);
  };
  return ExitStatusOf(RunJob(RunUndo, UndoRequest{args.positional()[0]}, reporter).end);
}

}  // namespace

const Subcommand kUndoCommand{
    "undo", "Moves the files of a journaled job back to their old names.", "JOURNAL",
    "JOURNAL is a job's journal, in .brenvik-journal below the folder it ran in; it is undone in that\n"
    "folder only. Each file goes back, newest first, only while it is still the file the job moved and\n"
    "its old name is free; nothing is overwritten. Prints a row (Old Path, New Path, Reason) per file\n"
    "that could not be restored; the total (\"Restored: N / M\") and the undo's own journal go to\n"
    "standard error. Exits 1 when a file stayed, the journal is damaged or the job was already undone.",
    {}, Run};

}  // namespace brenvik::cli

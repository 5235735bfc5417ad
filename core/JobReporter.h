#pragma once
// The one shape of every engine job, whichever front end runs it (a page or brenvik-cli):
//
//   Result RunSomething(const Request& request, const std::atomic<int>& stop, Reporter& reporter);
//
// The request holds everything the job reads, the stop flag is polled between items (a set flag
// ends the job at the point the tool's Stop describes), the reporter hears what happens while it
// runs, and the result says how it ended in one `end` value of the tool's own End enum. Every such
// enum has `Completed` (the job did all that was asked) and `Stopped` (Stop ended it; what it did
// is consistent); a job that can refuse what it was given (a path of the wrong kind, an output
// that is one of its inputs) has `Refused`, which it ends with before it changes anything; every
// other value is a failure, commented with what it left behind. Front ends choose their
// completion texts and exit statuses from that value alone. Jobs are
// called on a worker thread, never show a message themselves and never throw.
//
// A reporter has the same vocabulary for every tool; a tool leaves out what it never reports.
// `RowT` is the tool's list row and `TallyT` its running counts (formatted by the front end, so
// a walk over a million files builds no texts nobody reads).
#include <cstdint>
#include <string_view>

namespace brenvik {

// True for the ends a front end closes with the tool's completion text: everything asked was
// done, or as much as Stop allowed.
template <class End>
constexpr bool EndsCompleted(End end) {
  return end == End::Completed || end == End::Stopped;
}

// The row or tally type of a tool that has none.
struct NoRow {};
struct NoTally {};

template <class RowT, class TallyT>
class JobReporter {
 public:
  virtual ~JobReporter() = default;
  // The tool's status line.
  virtual void Status(std::u16string_view text) { (void)text; }
  // The running counts.
  virtual void Tally(const TallyT& tally) { (void)tally; }
  // A failure text shown where the counts were.
  virtual void TallyFailure(std::u16string_view text) { (void)text; }
  // A new list row.
  virtual void AddRow(const RowT& row) { (void)row; }
  // The row at this list position was acted on (renamed, deleted, moved aside).
  virtual void RowDone(int32_t position) { (void)position; }
  // Every row leaves the list.
  virtual void ClearRows() {}
  // How far the job is; `maximum` stays the same for one run.
  virtual void Progress(int64_t position, int64_t maximum) {
    (void)position;
    (void)maximum;
  }
  // A message row (a title and what happened).
  virtual void Message(std::u16string_view title, std::u16string_view description) {
    (void)title;
    (void)description;
  }
};

}  // namespace brenvik

#pragma once
// Carries a worker's reports to the GUI thread without flooding the event loop: a text or value
// keeps only its latest state, list rows gather into batches, and every channel of one page is
// applied together at most every kReportIntervalMs (often enough to look live, rarely enough
// that repainting leaves the processor to the job). flush() applies whatever is pending at once;
// ToolPage flushes every channel of the page before it hands a job's result over, so the final
// tally and last rows are on screen before the completion message.
#include <QObject>
#include <QTimer>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brenvik {

inline constexpr int kReportIntervalMs = 50;

class PendingReports {
 public:
  virtual ~PendingReports() = default;
  // GUI thread.
  virtual void flush() = 0;
};

// The channels of one context object (a page) and the one timer that applies them; a child of
// that object, made by the first channel.
class ChannelGroup : public QObject {
  Q_OBJECT
 public:
  static ChannelGroup* of(QObject* context);

  void add(PendingReports* channel) { channels_.push_back(channel); }
  void remove(PendingReports* channel) { std::erase(channels_, channel); }
  // Any thread: apply the pending reports within kReportIntervalMs.
  void schedule();
  // GUI thread: apply every channel's pending reports now, in the order the channels were made.
  void flushAll();

 private:
  explicit ChannelGroup(QObject* context);

  std::vector<PendingReports*> channels_;
  QTimer timer_;
};

// Slot policies: what a post leaves pending.
template <class T>
struct LatestValueSlot {
  using Pending = std::optional<T>;
  using Apply = std::function<void(const T&)>;
  static void put(Pending& pending, T value) { pending = std::move(value); }
  static void apply(const Apply& apply, Pending& pending) {
    if (pending) apply(*pending);
  }
};

template <class Row>
struct RowBatchSlot {
  using Pending = std::vector<Row>;
  using Apply = std::function<void(std::vector<Row>)>;
  static void put(Pending& pending, Row row) { pending.push_back(std::move(row)); }
  static void apply(const Apply& apply, Pending& pending) {
    if (!pending.empty()) apply(std::move(pending));
  }
};

template <class T, class Slot>
class ReportChannel final : public PendingReports {
 public:
  ReportChannel(QObject* context, typename Slot::Apply apply)
      : group_(ChannelGroup::of(context)), apply_(std::move(apply)) {
    group_->add(this);
  }
  ~ReportChannel() override { group_->remove(this); }
  ReportChannel(const ReportChannel&) = delete;
  ReportChannel& operator=(const ReportChannel&) = delete;

  // Any thread.
  void post(T value) {
    bool schedule = false;
    {
      std::lock_guard lock(mutex_);
      Slot::put(pending_, std::move(value));
      schedule = !scheduled_;
      scheduled_ = true;
    }
    if (schedule) group_->schedule();
  }

  // GUI thread.
  void flush() override {
    typename Slot::Pending taken{};
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
      std::swap(taken, pending_);
    }
    Slot::apply(apply_, taken);
  }

 private:
  ChannelGroup* group_;
  typename Slot::Apply apply_;
  std::mutex mutex_;
  typename Slot::Pending pending_{};
  bool scheduled_ = false;
};

template <class T>
using LatestValueChannel = ReportChannel<T, LatestValueSlot<T>>;
template <class Row>
using RowBatchChannel = ReportChannel<Row, RowBatchSlot<Row>>;

}  // namespace brenvik

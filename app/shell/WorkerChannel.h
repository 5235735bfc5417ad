#pragma once
// Carries a worker's reports to the GUI thread without flooding the event loop: a text or value
// keeps only its latest state with at most one pending update, and list rows are appended in
// batches. flush() applies whatever is pending at once (a page calls it before showing a job's
// completion, so the final tally and last rows are on screen first).
#include <QMetaObject>
#include <QObject>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brenvik {

template <class T>
class LatestValueChannel {
 public:
  LatestValueChannel(QObject* context, std::function<void(const T&)> apply)
      : context_(context), apply_(std::move(apply)) {}

  // Any thread.
  void post(T value) {
    bool schedule = false;
    {
      std::lock_guard lock(mutex_);
      value_ = std::move(value);
      schedule = !scheduled_;
      scheduled_ = true;
    }
    if (schedule) QMetaObject::invokeMethod(context_, [this] { flush(); }, Qt::QueuedConnection);
  }

  // GUI thread.
  void flush() {
    std::optional<T> value;
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
      value.swap(value_);
    }
    if (value) apply_(*value);
  }

 private:
  QObject* context_;
  std::function<void(const T&)> apply_;
  std::mutex mutex_;
  std::optional<T> value_;
  bool scheduled_ = false;
};

template <class Row>
class RowBatchChannel {
 public:
  RowBatchChannel(QObject* context, std::function<void(std::vector<Row>)> apply)
      : context_(context), apply_(std::move(apply)) {}

  // Any thread.
  void post(Row row) {
    bool schedule = false;
    {
      std::lock_guard lock(mutex_);
      rows_.push_back(std::move(row));
      schedule = !scheduled_;
      scheduled_ = true;
    }
    if (schedule) QMetaObject::invokeMethod(context_, [this] { flush(); }, Qt::QueuedConnection);
  }

  // GUI thread.
  void flush() {
    std::vector<Row> rows;
    {
      std::lock_guard lock(mutex_);
      scheduled_ = false;
      rows.swap(rows_);
    }
    if (!rows.empty()) apply_(std::move(rows));
  }

 private:
  QObject* context_;
  std::function<void(std::vector<Row>)> apply_;
  std::mutex mutex_;
  std::vector<Row> rows_;
  bool scheduled_ = false;
};

}  // namespace brenvik

#pragma once
// Base of the six tool pages: the running and stop flags, one worker thread per job, the busy
// refusal, message boxes through the host, and the hand-over of worker results to the GUI thread.
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>

#include "shell/PageHost.h"

class QLineEdit;

namespace brenvik {

inline const QString kBusyMessage = QStringLiteral("Please wait for other tasks to completed");
inline const QString kCompletionCaption = QStringLiteral("Brenvik");

class ToolPage : public QWidget {
  Q_OBJECT
 public:
  ToolPage(PageHost& host, const QString& toolName, QWidget* parent = nullptr);
  ~ToolPage() override;

  const QString& toolName() const { return toolName_; }
  bool isRunning() const { return running_.load() != 0; }
  std::atomic<int>& runningFlag() { return running_; }
  std::atomic<int>& stopFlag() { return stop_; }

  // Sets the stop flag and waits for the worker to end (the main window calls it on close).
  void stopAndWait();

 protected:
  PageHost& host() const { return host_; }
  AppSettings& settings() const { return host_.settings(); }

  // When a job runs: shows the busy refusal and returns true.
  bool refuseIfBusy();
  // Every page runs its engine job through here. Refuses when busy; otherwise raises the running
  // flag, clears the stop flag and runs `job` (an engine job bound to its request, the stop flag
  // and the page's reporter) on a new worker thread. When it returns, the page's report channels
  // are flushed, the running flag drops and `finished` gets the job's result on the GUI thread.
  // The job must not touch widgets; it reports through channels or postToGui.
  template <class Job, class Finished = std::nullptr_t>
  bool startJob(Job job, Finished finished = nullptr) {
    using Result = std::invoke_result_t<Job&>;
    if constexpr (std::is_void_v<Result>) {
      return startWorker(std::move(job), [finished = std::move(finished)]() mutable {
        if constexpr (!std::is_null_pointer_v<Finished>) finished();
      });
    } else {
      auto result = std::make_shared<std::optional<Result>>();
      return startWorker([job = std::move(job), result]() mutable { result->emplace(job()); },
                         [finished = std::move(finished), result]() mutable {
                           if constexpr (!std::is_null_pointer_v<Finished>) finished(std::move(**result));
                         });
    }
  }
  // Runs `fn` on the GUI thread later (from any thread); dropped if the page is gone.
  void postToGui(std::function<void()> fn);

  // Message boxes with an OK button only.
  void showMessage(const QString& text, const QString& caption, MessageIcon icon = MessageIcon::None);
  void showCompletion(const QString& text) { showMessage(text, kCompletionCaption, MessageIcon::Information); }
  // A validation message captioned with the application name.
  void showValidation(const QString& text, MessageIcon icon = MessageIcon::Warning) {
    showMessage(text, host_.applicationName(), icon);
  }

  // The folder browser: writes the chosen folder (one trailing "/" removed, except from "/") into
  // `box`; cancelling empties the box.
  void pickFolderInto(QLineEdit* box);

 private:
  bool startWorker(std::function<void()> job, std::function<void()> finished);
  void joinWorker();

  PageHost& host_;
  QString toolName_;
  std::atomic<int> running_{0};
  std::atomic<int> stop_{0};
  std::thread worker_;
};

// The folder browser shared by pages and dialogs (title "please select path").
void PickFolder(QWidget* owner, UiServices& ui, QLineEdit* box);

}  // namespace brenvik

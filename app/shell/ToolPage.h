#pragma once
// Base of the six tool pages: the running and stop flags, one worker thread per job, the busy
// refusal, message boxes through the host, and the hand-over of worker results to the GUI thread.
#include <QWidget>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/shell/PageHost.h"

class QLineEdit;
class QMenu;

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
  // Refuses when busy; otherwise raises the running flag, clears the stop flag and runs `job` on
  // a new worker thread. When `job` returns, the running flag drops and `finished` runs on the
  // GUI thread. The job must not touch widgets; it reports through channels or postToGui.
  bool startJob(std::function<void()> job, std::function<void()> finished = {});
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

  // Adds "Undo last job" to a list's menu: it undoes the newest journal of `journalTool` below
  // the folder `root()` names when chosen, on the worker, and shows per file what stayed where
  // the job put it and the total "Restored: N / M". `noJournalText` follows "There is no job to
  // undo below <root>." when the folder has no such journal.
  QAction* addUndoLastJobItem(QMenu* menu, std::function<std::filesystem::path()> root, std::string journalTool,
                              QString noJournalText = {});

 private:
  void joinWorker();
  void undoLastJob(const std::filesystem::path& root, const std::string& journalTool, const QString& noJournalText);

  PageHost& host_;
  QString toolName_;
  std::atomic<int> running_{0};
  std::atomic<int> stop_{0};
  std::thread worker_;
};

// The folder browser shared by pages and dialogs (title "please select path").
void PickFolder(QWidget* owner, UiServices& ui, QLineEdit* box);

}  // namespace brenvik

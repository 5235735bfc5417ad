#include "shell/ToolPage.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>

#include "journal/JobJournal.h"
#include "journal/Undo.h"
#include "platform/PathText.h"
#include "core/TextHelpers.h"
#include "shell/QtText.h"
#include "shell/WorkerChannel.h"

namespace brenvik {

ToolPage::ToolPage(PageHost& host, const QString& toolName, QWidget* parent)
    : QWidget(parent), host_(host), toolName_(toolName) {
  setAccessibleName(Tr(toolName));
}

ToolPage::~ToolPage() { stopAndWait(); }

void ToolPage::stopAndWait() {
  stop_ = 1;
  joinWorker();
}

void ToolPage::joinWorker() {
  if (worker_.joinable()) worker_.join();
}

bool ToolPage::refuseIfBusy() {
  if (!isRunning()) return false;
  showMessage(kBusyMessage, QStringLiteral("Error"), MessageIcon::Error);
  return true;
}

bool ToolPage::startWorker(std::function<void()> job, std::function<void()> finished) {
  if (refuseIfBusy()) return false;
  joinWorker();  // the previous worker has returned from its job; let its thread end
  running_ = 1;
  stop_ = 0;
  worker_ = std::thread([this, job = std::move(job), finished = std::move(finished)]() mutable {
    job();
    postToGui([this, finished = std::move(finished)] {
      ChannelGroup::of(this)->flushAll();
      running_ = 0;
      finished();
    });
  });
  return true;
}

void ToolPage::postToGui(std::function<void()> fn) {
  QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void ToolPage::showMessage(const QString& text, const QString& caption, MessageIcon icon) {
  host_.ui().showMessage(this, text, caption, icon);
}

void ToolPage::pickFolderInto(QLineEdit* box) { PickFolder(this, host_.ui(), box); }

namespace {

// Files an undo's message names one by one; the rest are counted.
constexpr size_t kUndoProblemsShown = 20;

QString UndoReportText(const std::filesystem::path& journal, const UndoResult& result) {
  QString text = QStringLiteral("Undo of %1").arg(ToQString(BytesToText(journal.filename().native())));
  if (!result.failure.empty()) return text + QStringLiteral("\n") + QString::fromStdString(result.failure);
  text += QStringLiteral("\n") + QString::fromStdString(result.SummaryText());
  if (result.end == UndoEnd::Stopped) text += QStringLiteral("\nStopped before every file was back");
  if (!result.damage.empty()) text += QStringLiteral("\n") + QString::fromStdString(result.damage);
  if (!result.problems.empty()) text += QStringLiteral("\nNot restored:");
  for (size_t i = 0; i < result.problems.size() && i < kUndoProblemsShown; ++i) {
    const UndoProblem& problem = result.problems[i];
    text += QStringLiteral("\n%1 (now %2): %3")
                .arg(ToQString(BytesToText(problem.from)), ToQString(BytesToText(problem.to)),
                     QString::fromStdString(problem.reason));
  }
  if (result.problems.size() > kUndoProblemsShown)
    text += QStringLiteral("\n... and %1 more").arg(result.problems.size() - kUndoProblemsShown);
  return text;
}

}  // namespace

QAction* ToolPage::addUndoLastJobItem(QMenu* menu, std::function<std::filesystem::path()> root,
                                      std::string journalTool, QString noJournalText) {
  QAction* action = menu->addAction(Tr(QStringLiteral("Undo last job")));
  action->setObjectName(QStringLiteral("undoLastJob"));
  connect(action, &QAction::triggered, this,
          [this, root = std::move(root), journalTool = std::move(journalTool), noJournalText = std::move(noJournalText)] {
            undoLastJob(root(), journalTool, noJournalText);
          });
  return action;
}

void ToolPage::undoLastJob(const std::filesystem::path& root, const std::string& journalTool,
                           const QString& noJournalText) {
  if (refuseIfBusy()) return;
  const std::filesystem::path journal = root.empty() ? std::filesystem::path() : LatestJournal(root, journalTool);
  if (journal.empty()) {
    QString text = QStringLiteral("There is no job to undo below %1.").arg(ToQString(BytesToText(root.native())));
    if (!noJournalText.isEmpty()) text += QStringLiteral(" ") + noJournalText;
    showMessage(text, kCompletionCaption, MessageIcon::Information);
    return;
  }
  // The message tells the whole outcome, so the job's reports go nowhere.
  startJob(
      [this, journal] {
        UndoReporter quiet;
        return RunUndo({journal}, stopFlag(), quiet);
      },
      [this, journal](const UndoResult& result) {
        const bool clean = EndsCompleted(result.end);
        showMessage(UndoReportText(journal, result), kCompletionCaption,
                    clean ? MessageIcon::Information : MessageIcon::Warning);
      });
}

void PickFolder(QWidget* owner, UiServices& ui, QLineEdit* box) {
  // The chooser yields a file-system path or nothing, so cancelling empties the box.
  const QString chosen = ui.chooseFolder(owner, QStringLiteral("please select path"));
  box->setText(ToQString(StripTrailingSeparator(ToText(chosen))));
}

}  // namespace brenvik

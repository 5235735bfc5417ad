#include "shell/ToolPage.h"

#include <QLineEdit>
#include <QMetaObject>

#include "core/TextHelpers.h"
#include "shell/QtText.h"
#include "shell/WorkerChannel.h"

namespace brenvik {

ToolPage::ToolPage(PageHost& host, const QString& toolName, QWidget* parent)
    : QWidget(parent), host_(host), toolName_(toolName) {
  setAccessibleName(toolName);
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

void PickFolder(QWidget* owner, UiServices& ui, QLineEdit* box) {
  // The chooser yields a file-system path or nothing, so cancelling empties the box.
  const QString chosen = ui.chooseFolder(owner, QStringLiteral("please select path"));
  box->setText(ToQString(StripTrailingSeparator(ToText(chosen))));
}

}  // namespace brenvik

#include "tests/support/RecordingUi.h"

namespace brenvik::testing {
namespace {

template <class T>
T TakeFront(std::deque<T>& queue) {
  if (queue.empty()) return T();
  T value = queue.front();
  queue.pop_front();
  return value;
}

}  // namespace

void RecordingUi::showMessage(QWidget*, const QString& text, const QString& caption, MessageIcon icon) {
  messages.push_back({text, caption, icon});
}

QString RecordingUi::chooseFolder(QWidget*, const QString& title) {
  dialogCaptions << title;
  return TakeFront(folderAnswers);
}

QString RecordingUi::chooseOpenFile(QWidget*, const QString& caption, const QString&) {
  dialogCaptions << caption;
  return TakeFront(openFileAnswers);
}

QStringList RecordingUi::chooseOpenFiles(QWidget*, const QString& caption, const QString&) {
  dialogCaptions << caption;
  return TakeFront(openFilesAnswers);
}

QString RecordingUi::chooseSaveFile(QWidget*, const QString& caption, const QString&, const QString& defaultName,
                                    const QString&) {
  dialogCaptions << caption;
  lastSaveDefaultName = defaultName;
  return TakeFront(saveFileAnswers);
}

bool RecordingUi::sawText(const QString& text) const {
  for (const auto& m : messages)
    if (m.text == text) return true;
  return false;
}

TestPageHost::TestPageHost(const std::filesystem::path& temporaryFolder) {
  settings_.temporaryFolder = temporaryFolder;
}

}  // namespace brenvik::testing

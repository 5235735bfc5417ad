#pragma once
// The "Extension" tool page: Check lists every file whose content calls for an extension, Rename
// gives each listed file that extension. Results live in the list (list mode) or in a temporary
// result file with a 33-row preview (cache mode), as the settings say when a pass starts.
#include <QString>
#include <filesystem>
#include <memory>

#include "app/shell/CheckListModel.h"
#include "app/shell/ToolPage.h"
#include "app/shell/WorkerChannel.h"
#include "extension/ExtensionJob.h"
#include "readers/DocumentReader.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace brenvik {

class CChkDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CChkDlg(PageHost& host, QWidget* parent = nullptr);
  ~CChkDlg() override;

  CheckListModel* listModel() const { return model_; }
  const ExtensionCounters& counters() const { return counters_; }

 private:
  class Sink;

  void onCheck();
  void onRename();
  void flushChannels();

  QLineEdit* pathEdit_ = nullptr;
  CheckListModel* model_ = nullptr;
  QLabel* status_ = nullptr;

  // Worker-owned while a pass runs.
  ExtensionCounters counters_;
  DocumentReader reader_;
  std::filesystem::path resultFile_;  // the last cache-mode Check's result file
  std::filesystem::path checkedRoot_;  // the folder the last Check walked, and which folder it was
  FileIdentity checkedRootIdentity_;
  bool checkCompleted_ = false;

  // The status line shows a pass's texts and, in between, its running tally; one channel keeps
  // them in order (the tally is formatted only when it is shown).
  struct StatusLine {
    QString text;
    int64_t identified = -1;  // a tally when not negative
    int64_t scanned = 0;
  };
  LatestValueChannel<StatusLine> statusChannel_;
  RowBatchChannel<ListRow> rowChannel_;
  RowBatchChannel<int> renamedChannel_;
  std::unique_ptr<Sink> sink_;
};

}  // namespace brenvik

#pragma once
// The "Extension" tool page: Check lists every file whose content calls for an extension, Rename
// gives each listed file that extension. Results live in the list (list mode) or in a temporary
// result file with a 33-row preview (cache mode), as the settings say when a pass starts.
#include <QString>
#include <filesystem>
#include <memory>

#include "shell/CheckListModel.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "extension/ExtensionJob.h"

class QLabel;
class QCheckBox;
class QLineEdit;
class QMenu;
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
  class PageReporter;

  void onCheck();
  // The refusal of a path that is empty or names no folder.
  void refusePath();
  void onRename();

  QLineEdit* pathEdit_ = nullptr;
  QCheckBox* moreTypesBox_ = nullptr;
  QMenu* listMenu_ = nullptr;  // the list's menu: Undo last job
  CheckListModel* model_ = nullptr;
  QLabel* status_ = nullptr;

  ExtensionCounters counters_;
  std::filesystem::path resultFile_;  // the last cache-mode Check's result file
  std::filesystem::path checkedRoot_;  // the folder the last Check walked, and which folder it was
  FileIdentity checkedRootIdentity_;

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
  std::unique_ptr<PageReporter> reporter_;
};

}  // namespace brenvik

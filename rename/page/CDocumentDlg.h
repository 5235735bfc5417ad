#pragma once
// The "File Rename" tool page: lists the files of the ticked types below a folder (Check) and
// renames them after their contents (Rename), in list mode or cache mode.
#include <QString>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "shell/CheckListModel.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "rename/RenameJob.h"

class QCheckBox;
class QLabel;
class QMenu;

namespace brenvik {

class CDocumentDlg : public ToolPage {
  Q_OBJECT
 public:
  // `readers` feed the engine; tests may wrap the real ones. Without them the page uses the real
  // readers, which its Stop button also interrupts in the middle of a file.
  explicit CDocumentDlg(PageHost& host, QWidget* parent = nullptr,
                        std::optional<ContentReaders> readers = std::nullopt);
  ~CDocumentDlg() override;

  // How Goto Path shows a file; tests replace it so no file manager starts.
  std::function<bool(const std::filesystem::path&)> showInFileManager;

 private:
  class PageReporter;
  // A status text, or the counts that the status line shows as "Numbers: ..." (total < 0: none).
  struct StatusLine {
    QString text;
    int32_t count = -1;
    int32_t total = -1;
  };

  void check();
  // The refusal of a path that is empty or names no folder.
  void refusePath();
  void rename();
  // Keeps the marks of a running list-mode Rename in step with the list.
  void followCheckMarks(const QModelIndex& first, const QModelIndex& last, const QList<int>& roles);
  void showRowMenu(const QPoint& position);
  void gotoPath();

  ContentReaders readers_;
  RenameChoices choices_;  // as the last Check chose them, with the numbering the last Rename left
  std::filesystem::path resultFile_;  // the temporary result file of the last cache-mode Check
  CheckedRoot checkedRoot_;           // the folder the last Check walked
  std::shared_ptr<ListRows> renamingRows_;  // while a list-mode Rename runs: the rows it works on

  std::array<QCheckBox*, 11> typeBoxes_{};
  QLineEdit* pathEdit_ = nullptr;
  CheckListModel* model_ = nullptr;
  CheckListView* list_ = nullptr;
  QLabel* status_ = nullptr;
  QMenu* rowMenu_ = nullptr;

  LatestValueChannel<StatusLine> statusChannel_;
  RowBatchChannel<ListRow> rowChannel_;
  RowBatchChannel<int32_t> doneChannel_;
  std::unique_ptr<PageReporter> reporter_;
};

}  // namespace brenvik

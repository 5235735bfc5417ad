#pragma once
// The "Invalid Files" tool page: criteria, Check (scan), Delete, and the list menu.
#include <QString>
#include <filesystem>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "shell/CheckListModel.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "invalid_files/InvalidFileActions.h"
#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileDetector.h"
#include "invalid_files/InvalidFileScan.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace brenvik {

class CBadFileDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CBadFileDlg(PageHost& host, QWidget* parent = nullptr);
  ~CBadFileDlg() override;

  // The result list, for the menu actions and tests.
  CheckListModel* results() const { return results_; }
  const InvalidFileDetector& detector() const { return detector_; }
  // The cache-mode result file of the last Check (empty when there is none).
  const std::filesystem::path& resultFile() const { return resultFile_; }

 private:
  // A change of the result list, in the order the job made it.
  struct RowEvent {
    enum Kind { Add, Remove, Clear } kind;
    ListRow row;
    int position = -1;  // Remove: the row's position when the job started
  };
  // The progress line shows the tally, or a failure text in its place.
  using ProgressLine = std::variant<ScanTally, std::u16string>;
  class PageReporter;

  void buildControls();
  CheckListView* makeList(int id, const QString& label, QStringList headers, QRect rect);
  void check();
  void deleteFiles();
  CriteriaInput criteriaFromControls() const;
  void showMenu(CheckListView* view, const QPoint& position);
  void setMenuTargetChecked(bool checked);
  void gotoPath();
  void removeFiles();
  // The result row `row` as Delete takes it: its path and the file Check saw there.
  MarkedRow markedRow(int row) const;
  void saveText();
  void applyRowEvents(std::vector<RowEvent> events);
  void applyRemovals();
  void showProgressLine(const ProgressLine& line);

  InvalidFileDetector detector_;
  bool emptyFoldersFromLastDelete_ = false;  // the last Delete's "delete empty folders"
  std::filesystem::path resultFile_;
  CacheMode resultMode_ = kCacheModeFiles;
  FileIdentity scannedRootIdentity_;  // which folder the last Check walked
  std::vector<int> pendingRemovals_;
  qint64 lastRemovalApplied_ = 0;

  QLineEdit* path_ = nullptr;
  QLineEdit* sizeMinimum_ = nullptr;
  QLineEdit* sizeMaximum_ = nullptr;
  QLineEdit* pattern_ = nullptr;
  QLineEdit* percent_ = nullptr;
  QCheckBox* sizeBox_ = nullptr;
  QCheckBox* deleteEmptyBox_ = nullptr;
  QCheckBox* contentBox_ = nullptr;
  QCheckBox* headerBox_ = nullptr;
  QCheckBox* damagedBox_ = nullptr;
  QCheckBox* duplicatesBox_ = nullptr;
  QCheckBox* thumbnailsBox_ = nullptr;
  QLabel* progress_ = nullptr;
  QLabel* state_ = nullptr;
  CheckListModel* results_ = nullptr;
  CheckListModel* nameRules_ = nullptr;
  CheckListModel* extensions_ = nullptr;
  CheckListView* resultView_ = nullptr;
  CheckListView* nameRuleView_ = nullptr;
  CheckListView* extensionView_ = nullptr;
  QMenu* menu_ = nullptr;
  CheckListView* menuTarget_ = nullptr;

  RowBatchChannel<RowEvent> rowChannel_;
  LatestValueChannel<ProgressLine> progressChannel_;
  LatestValueChannel<QString> stateChannel_;
  std::unique_ptr<PageReporter> reporter_;
};

}  // namespace brenvik

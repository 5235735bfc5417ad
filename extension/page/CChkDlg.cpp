#include "extension/page/CChkDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "shell/Controls.h"
#include "shell/QtText.h"

namespace brenvik {

namespace {

enum ControlId {
  kPathEdit = 2801,
  kBrowseButton = 2802,
  kResultList = 2803,
  kRenameButton = 2804,
  kStopButton = 2805,
  kStatusLine = 2806,
  kCheckButton = 2807,
  kMoreTypesBox = 2808,
};

constexpr int kStatusColumn = 1;
constexpr int kPathColumn = 2;

}  // namespace

// Forwards the jobs' reports to the page's channels; runs on the worker thread.
class CChkDlg::PageReporter : public ExtensionReporter {
 public:
  explicit PageReporter(CChkDlg& page) : page_(page) {}
  void Status(std::u16string_view text) override { page_.statusChannel_.post({ToQString(text)}); }
  void Tally(const ExtensionCounters& tally) override {
    page_.statusChannel_.post({{}, tally.identified, tally.scanned});
  }
  void AddRow(const ExtensionRow& row) override {
    page_.rowChannel_.post(ListRow{
        {QString::number(row.index), ToQString(row.type), ToQString(row.path)}, true, IdentityData(row.identity)});
  }
  void RowDone(int32_t position) override { page_.renamedChannel_.post(position); }

 private:
  CChkDlg& page_;
};

CChkDlg::CChkDlg(PageHost& host, QWidget* parent)
    : ToolPage(host, QStringLiteral("Extension"), parent),
      statusChannel_(this,
                     [this](const StatusLine& line) {
                       status_->setText(Tr(line.identified < 0 ? line.text
                                                               : ToQString(TallyText(line.identified, line.scanned))));
                     }),
      rowChannel_(this, [this](std::vector<ListRow> rows) { model_->appendRows(std::move(rows)); }),
      renamedChannel_(this, [this](std::vector<int> rows) { model_->removeRowsAt(std::move(rows)); }),
      reporter_(std::make_unique<PageReporter>(*this)) {
  MakeLabel(this, 0, QStringLiteral("Path:"), DluRect(7, 10, 22, 10));
  pathEdit_ = MakeEdit(this, kPathEdit, QStringLiteral("Path:"), DluRect(30, 8, 358, 13));
  moreTypesBox_ = MakeCheckBox(this, kMoreTypesBox, QStringLiteral("More types"), DluRect(392, 10, 56, 10), false);
  auto* browse = MakeButton(this, kBrowseButton, QStringLiteral("..."), DluRect(452, 7, 22, 15));
  auto* check = MakeButton(this, kCheckButton, QStringLiteral("Check"), DluRect(482, 7, 50, 15));
  auto* rename = MakeButton(this, kRenameButton, QStringLiteral("Rename"), DluRect(537, 7, 50, 15));
  auto* stop = MakeButton(this, kStopButton, QStringLiteral("Stop"), DluRect(592, 7, 50, 15));

  model_ = new CheckListModel({QStringLiteral("Index"), QStringLiteral("Status"), QStringLiteral("Path")}, true, this);
  auto* list = new CheckListView(model_, this);
  list->setGeometry(DluRect(7, 27, 638, 272));
  SetControlId(list, kResultList, QStringLiteral("Files to rename"));
  list->setColumnWidths({100, 100, -1});
  listMenu_ = new QMenu(this);
  addUndoLastJobItem(
      listMenu_, [this] { return checkedRoot_.empty() ? QStringToPath(pathEdit_->text()) : checkedRoot_; },
      kExtensionJournalTool);
  connect(list, &QWidget::customContextMenuRequested, this,
          [this, list](const QPoint& position) { listMenu_->popup(list->viewport()->mapToGlobal(position)); });

  status_ = MakeStatusLine(this, kStatusLine, QStringLiteral("Status"), QString(), DluRect(7, 304, 638, 10));

  connect(browse, &QPushButton::clicked, this, [this] { pickFolderInto(pathEdit_); });
  connect(check, &QPushButton::clicked, this, &CChkDlg::onCheck);
  connect(rename, &QPushButton::clicked, this, &CChkDlg::onRename);
  connect(stop, &QPushButton::clicked, this, [this] { stopFlag() = 1; });
}

// The worker reports through members of this class: it must end before they go.
CChkDlg::~CChkDlg() { stopAndWait(); }

void CChkDlg::refusePath() {
  showMessage(ToQString(kSetPathCorrectlyText), QStringLiteral("Error"), MessageIcon::Error);
}

void CChkDlg::onCheck() {
  if (refuseIfBusy()) return;
  counters_ = {};
  stopFlag() = 0;
  model_->clear();
  const QString path = pathEdit_->text();
  if (!CheckRootRefusal(QStringToPath(path)).empty()) {
    refusePath();
    return;
  }
  const AppSettings& current = settings();
  ExtensionCheckRequest request{QStringToPath(path), current.cacheMode == kCacheModeFiles, current.temporaryFolder};
  request.moreTypes = moreTypesBox_->isChecked();
  if (request.cacheMode) resultFile_.clear();
  startJob([this, request] { return RunExtensionCheck(request, stopFlag(), *reporter_); },
           [this, request](const ExtensionCheckOutcome& outcome) {
             counters_ = outcome.counters;
             if (request.cacheMode) resultFile_ = outcome.resultFile;
             checkedRoot_ = request.root;
             checkedRootIdentity_ = outcome.rootIdentity;
             // A cache-mode pass that could not make its result file ends on its status text alone.
             if (outcome.end == ExtensionCheckEnd::Refused) refusePath();
             if (EndsCompleted(outcome.end))
               showCompletion(ToQString(kDetectExtensionCompletedText));
           });
}

void CChkDlg::onRename() {
  if (refuseIfBusy()) return;
  ExtensionRenameRequest request;
  request.cacheMode = settings().cacheMode == kCacheModeFiles;
  request.resultFile = resultFile_;
  request.root = checkedRoot_;
  request.rootIdentity = checkedRootIdentity_;
  if (!request.cacheMode) {
    for (int i = 0; i < model_->rowCount(); ++i) {
      if (!model_->isChecked(i)) continue;
      const ListRow& row = model_->row(i);
      request.checkedRows.push_back(
          {i, ToText(row.cells[kStatusColumn]), ToText(row.cells[kPathColumn]), IdentityFromData(row.data)});
    }
  }
  startJob([this, request = std::move(request)] { return RunExtensionRename(request, stopFlag(), *reporter_); },
           [this, cacheMode = request.cacheMode](const ExtensionRenameOutcome& outcome) {
             if (cacheMode) {
               model_->clear();
               counters_.rowCounter = 0;
             } else {
               counters_.rowCounter -= outcome.renamed;
             }
             // A pass without a result file or journal ends on its failure text alone.
             if (EndsCompleted(outcome.end))
               showCompletion(ToQString(kModifyExtensionCompletedText));
           });
}

}  // namespace brenvik

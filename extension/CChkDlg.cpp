#include "extension/CChkDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/shell/Controls.h"
#include "app/shell/QtText.h"

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
};

constexpr int kStatusColumn = 1;
constexpr int kPathColumn = 2;

}  // namespace

// Forwards the jobs' reports to the page's channels; runs on the worker thread.
class CChkDlg::Sink : public ExtensionSink {
 public:
  explicit Sink(CChkDlg& page) : page_(page) {}
  void StatusText(std::u16string text) override { page_.statusChannel_.post({ToQString(text)}); }
  void Tally(int64_t identified, int64_t scanned) override { page_.statusChannel_.post({{}, identified, scanned}); }
  void RowFound(ExtensionRow row) override {
    page_.rowChannel_.post(ListRow{
        {QString::number(row.index), ToQString(row.type), ToQString(row.path)}, true, IdentityData(row.identity)});
  }
  void RowRenamed(int32_t row) override { page_.renamedChannel_.post(row); }

 private:
  CChkDlg& page_;
};

CChkDlg::CChkDlg(PageHost& host, QWidget* parent)
    : ToolPage(host, QStringLiteral("Extension"), parent),
      statusChannel_(this,
                     [this](const StatusLine& line) {
                       status_->setText(line.identified < 0 ? line.text
                                                            : ToQString(TallyText(line.identified, line.scanned)));
                     }),
      rowChannel_(this, [this](std::vector<ListRow> rows) { model_->appendRows(std::move(rows)); }),
      renamedChannel_(this, [this](std::vector<int> rows) { model_->removeRowsAt(std::move(rows)); }),
      sink_(std::make_unique<Sink>(*this)) {
  MakeLabel(this, 0, QStringLiteral("Path:"), DluRect(7, 10, 22, 10));
  pathEdit_ = MakeEdit(this, kPathEdit, QStringLiteral("Path:"), DluRect(30, 8, 418, 13));
  auto* browse = MakeButton(this, kBrowseButton, QStringLiteral("..."), DluRect(452, 7, 22, 15));
  auto* check = MakeButton(this, kCheckButton, QStringLiteral("Check"), DluRect(482, 7, 50, 15));
  auto* rename = MakeButton(this, kRenameButton, QStringLiteral("Rename"), DluRect(537, 7, 50, 15));
  auto* stop = MakeButton(this, kStopButton, QStringLiteral("Stop"), DluRect(592, 7, 50, 15));

  model_ = new CheckListModel({QStringLiteral("Index"), QStringLiteral("Status"), QStringLiteral("Path")}, true, this);
  auto* list = new CheckListView(model_, this);
  list->setGeometry(DluRect(7, 27, 638, 272));
  SetControlId(list, kResultList, QStringLiteral("Files to rename"));
  list->setColumnWidths({100, 100, -1});

  status_ = MakeStatusLine(this, kStatusLine, QStringLiteral("Status"), QString(), DluRect(7, 304, 638, 10));

  connect(browse, &QPushButton::clicked, this, [this] { pickFolderInto(pathEdit_); });
  connect(check, &QPushButton::clicked, this, &CChkDlg::onCheck);
  connect(rename, &QPushButton::clicked, this, &CChkDlg::onRename);
  connect(stop, &QPushButton::clicked, this, [this] { stopFlag() = 1; });
}

// The worker reports through members of this class: it must end before they go.
CChkDlg::~CChkDlg() { stopAndWait(); }

void CChkDlg::flushChannels() {
  rowChannel_.flush();
  renamedChannel_.flush();
  statusChannel_.flush();
}

void CChkDlg::onCheck() {
  if (refuseIfBusy()) return;
  counters_ = {};
  stopFlag() = 0;
  model_->clear();
  const QString path = pathEdit_->text();
  if (path.isEmpty()) {
    showMessage(QStringLiteral("Please set the path correctly"), QStringLiteral("Error"), MessageIcon::Error);
    return;
  }
  const AppSettings& current = settings();
  ExtensionCheckOptions options{QStringToPath(path), current.cacheMode == kCacheModeFiles, current.temporaryFolder};
  if (options.cacheMode) resultFile_.clear();
  startJob(
      [this, options] {
        const ExtensionCheckOutcome outcome = RunExtensionCheck(options, reader_, counters_, stopFlag(), *sink_);
        if (options.cacheMode) resultFile_ = outcome.resultFile;
        checkedRoot_ = options.root;
        checkedRootIdentity_ = outcome.rootIdentity;
        checkCompleted_ = outcome.completed;
      },
      [this] {
        flushChannels();
        // A cache-mode pass that could not create its result file ends on its status text alone.
        if (checkCompleted_) showCompletion(ToQString(kDetectExtensionCompletedText));
      });
}

void CChkDlg::onRename() {
  if (refuseIfBusy()) return;
  const bool cacheMode = settings().cacheMode == kCacheModeFiles;
  std::vector<ExtensionRenameRow> checkedRows;
  if (!cacheMode) {
    for (int i = 0; i < model_->rowCount(); ++i) {
      if (!model_->isChecked(i)) continue;
      const ListRow& row = model_->row(i);
      checkedRows.push_back(
          {i, ToText(row.cells[kStatusColumn]), ToText(row.cells[kPathColumn]), IdentityFromData(row.data)});
    }
  }
  const std::filesystem::path resultFile = resultFile_;
  startJob(
      [this, cacheMode, resultFile, checkedRows = std::move(checkedRows)] {
        if (cacheMode)
          RunExtensionCacheRename(checkedRoot_, checkedRootIdentity_, resultFile, stopFlag(), *sink_);
        else
          RunExtensionListRename(checkedRoot_, checkedRootIdentity_, checkedRows, counters_, stopFlag(), *sink_);
      },
      [this, cacheMode] {
        flushChannels();
        if (cacheMode) {
          model_->clear();
          counters_.rowCounter = 0;
        }
        showCompletion(ToQString(kModifyExtensionCompletedText));
      });
}

}  // namespace brenvik

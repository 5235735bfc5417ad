#include "dbrepair/page/CDataBaseDlg.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <functional>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "dbrepair/FillPattern.h"
#include "platform/FileOps.h"

namespace brenvik {
namespace {

enum ControlId {
  kCorruptedEdit = 4002,
  kCorruptedBrowse = 4003,
  kRepairedEdit = 4004,
  kRepairedBrowse = 4005,
  kReferenceList = 4006,
  kRepairButton = 4007,
  kStopButton = 4008,
  kSectorPattern = 4009,
  kPagePattern = 4010,
  kSectorRadio = 4011,
  kPageRadio = 4012,
  kProgressBar = 4013,
  kStatusLine = 4014,
  kMarkAll = 4015,
  kUnmarkAll = 4016,
  kRemoveFiles = 4017,
  kAddFiles = 4018,
};

const QString kDatabaseFilter = QStringLiteral("mdf Files (*.mdf);;All Files (*)");
const QString kDefaultPattern = QStringLiteral("DEADDEAD");

// The worker's reports, handed to the page's channels.
class PageReporter : public RepairReporter {
 public:
  PageReporter(LatestValueChannel<QString>& status, LatestValueChannel<ProgressPosition>& progress)
      : status_(status), progress_(progress) {}
  void Status(std::u16string_view text) override { status_.post(ToQString(text)); }
  void Tally(const RepairCounts& tally) override { status_.post(ToQString(RepairCountsText(tally))); }
  void Progress(int64_t position, int64_t maximum) override { progress_.post({position, maximum}); }

 private:
  LatestValueChannel<QString>& status_;
  LatestValueChannel<ProgressPosition>& progress_;
};

}  // namespace

CDataBaseDlg::CDataBaseDlg(PageHost& host, QWidget* parent)
    : ToolPage(host, QStringLiteral("Repair DB"), parent),
      statusChannel_(this,
                     [this](const QString& text) {
                       status_->setText(Tr(text));
                       status_->setToolTip(Tr(text));  // a failure text with a long path may not fit
                     }),
      // A file under 1 MiB simply shows no movement.
      progressChannel_(this, [this](const ProgressPosition& p) { ShowProgress(progress_, p.position, p.maximum); }) {
  setObjectName(QStringLiteral("4001"));
  buildControls();
}

void CDataBaseDlg::buildControls() {
  MakeLabel(this, 0, QStringLiteral("Corrupted Database:"), DluRect(12, 14, 74, 8));
  corrupted_ = MakeEdit(this, kCorruptedEdit, QStringLiteral("Corrupted Database:"), DluRect(88, 12, 518, 13));
  auto* corruptedBrowse = MakeButton(this, kCorruptedBrowse, QStringLiteral("..."), DluRect(612, 12, 28, 13));
  corruptedBrowse->setAccessibleName(Tr(QStringLiteral("Choose the corrupted database")));
  connect(corruptedBrowse, &QPushButton::clicked, this, &CDataBaseDlg::chooseCorrupted);

  MakeLabel(this, 0, QStringLiteral("Repaired Database:"), DluRect(12, 32, 74, 8));
  repaired_ = MakeEdit(this, kRepairedEdit, QStringLiteral("Repaired Database:"), DluRect(88, 30, 518, 13));
  auto* repairedBrowse = MakeButton(this, kRepairedBrowse, QStringLiteral("..."), DluRect(612, 30, 28, 13));
  repairedBrowse->setAccessibleName(Tr(QStringLiteral("Choose the repaired database")));
  connect(repairedBrowse, &QPushButton::clicked, this, &CDataBaseDlg::chooseRepaired);

  sectorMode_ = MakeRadio(this, kSectorRadio, QStringLiteral("Sector(512 Bytes):"), DluRect(12, 51, 78, 10));
  sectorPattern_ = MakeEdit(this, kSectorPattern, QStringLiteral("Sector(512 Bytes):"), DluRect(92, 49, 222, 13));
  pageMode_ = MakeRadio(this, kPageRadio, QStringLiteral("Page(8192 Bytes):"), DluRect(330, 51, 76, 10));
  pagePattern_ = MakeEdit(this, kPagePattern, QStringLiteral("Page(8192 Bytes):"), DluRect(408, 49, 232, 13));
  sectorPattern_->setText(kDefaultPattern);
  pagePattern_->setText(kDefaultPattern);
  pageMode_->setChecked(true);

  references_ = new CheckListModel({QStringLiteral("Index"), QStringLiteral("Size"), QStringLiteral("Path")}, true, this);
  list_ = new CheckListView(references_, this);
  list_->setGeometry(DluRect(12, 70, 628, 196));
  SetControlId(list_, kReferenceList, QStringLiteral("Reference databases"));
  list_->setColumnWidths({100, 100, -1});
  connect(list_, &QWidget::customContextMenuRequested, this, &CDataBaseDlg::showListMenu);

  listMenu_ = new QMenu(this);
  AddMenuItem(listMenu_, this, kMarkAll, QStringLiteral("Mark All"), [this] { references_->setAllChecked(true); });
  AddMenuItem(listMenu_, this, kUnmarkAll, QStringLiteral("Unmark All"), [this] { references_->setAllChecked(false); });
  AddMenuItem(listMenu_, this, kRemoveFiles, QStringLiteral("Remove files"), [this] { references_->removeCheckedRows(); });
  AddMenuItem(listMenu_, this, kAddFiles, QStringLiteral("Add files"), [this] { addFiles(); });

  progress_ = MakeProgress(this, kProgressBar, DluRect(12, 272, 628, 10));
  status_ = MakeStatusLine(this, kStatusLine, QStringLiteral("Status"), QString(), DluRect(12, 290, 500, 10));

  auto* repairButton = MakeButton(this, kRepairButton, QStringLiteral("Repair"), DluRect(530, 287, 50, 16));
  auto* stopButton = MakeButton(this, kStopButton, QStringLiteral("Stop"), DluRect(590, 287, 50, 16));
  connect(repairButton, &QPushButton::clicked, this, &CDataBaseDlg::repair);
  connect(stopButton, &QPushButton::clicked, this, [this] { stopFlag() = 1; });
}

void CDataBaseDlg::chooseCorrupted() {
  const QString path = host().ui().chooseOpenFile(this, QStringLiteral("Open"), kDatabaseFilter);
  if (!path.isEmpty()) corrupted_->setText(path);
}

void CDataBaseDlg::chooseRepaired() {
  // The Save dialog asks before an existing file is chosen, since the run will overwrite it.
  const QString path =
      host().ui().chooseSaveFile(this, QStringLiteral("Save As"), kDatabaseFilter, QString(), QStringLiteral("mdf"));
  if (!path.isEmpty()) repaired_->setText(path);
}

void CDataBaseDlg::addFiles() {
  // Index numbers continue from the row count and are never renumbered, so after a removal
  // a new row may repeat an earlier number.
  int next = references_->rowCount();
  const QStringList paths = host().ui().chooseOpenFiles(this, QStringLiteral("Open"), kDatabaseFilter);
  std::vector<ListRow> rows;
  for (const QString& text : paths) {
    const auto path = QStringToPath(text);
    UniqueFd file = OpenSharedInput(path, false);
    const int64_t size = file ? FileSize(file.get()) : -1;
    if (size < 0) continue;  // files that cannot be opened are skipped without a message
    rows.push_back({{QString::number(next), QString::number(static_cast<quint64>(size)), text}, true, text});
    ++next;
  }
  references_->appendRows(std::move(rows));
}

void CDataBaseDlg::showListMenu(const QPoint& at) { listMenu_->popup(list_->viewport()->mapToGlobal(at)); }

void CDataBaseDlg::repair() {
  if (refuseIfBusy()) return;
  stopFlag() = 0;
  counts_ = {};

  RepairForm form;
  form.corrupted = QStringToPath(corrupted_->text());
  form.repaired = QStringToPath(repaired_->text());
  const bool sector = sectorMode_->isChecked();
  form.mode = sector ? BlockMode::Sector : BlockMode::Page;
  form.patternText = ToText((sector ? sectorPattern_ : pagePattern_)->text());
  // Every row is a reference copy, checked or not: the marks only select rows for removal.
  for (int row = 0; row < references_->rowCount(); ++row)
    form.references.push_back(QStringToPath(references_->row(row).data.toString()));
  RepairRequest request;
  if (const std::u16string_view refusal = RepairRequestFrom(form, request); !refusal.empty()) {
    showValidation(ToQString(refusal));
    return;
  }

  startJob(
      [this, request = std::move(request)] {
        PageReporter reporter(statusChannel_, progressChannel_);
        return RunRepair(request, stopFlag(), reporter);
      },
      [this](const RepairResult& result) { finishRun(result); });
}

void CDataBaseDlg::finishRun(const RepairResult& result) {
  counts_ = result.counts;
  progress_->setValue(0);
}

}  // namespace brenvik

#include "raid/page/CRaidDlg.h"

#include <QAction>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QBoxLayout>
#include <QComboBox>
#include <climits>

#include "core/RefusalTexts.h"
#include "core/StartOptions.h"
#include "core/TextHelpers.h"
#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "disk/DiskAccess.h"
#include "disk/DiskInventory.h"
#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "raid/RaidPlotPainter.h"
#include "raid/page/RaidPlotView.h"

namespace brenvik {
namespace {

constexpr int kDiskListId = 3302;
constexpr int kMemberListId = 3303;
// The geometry the records point to, under the found count.
constexpr int kGeometryLine = 3313;
// The plot: the page's button, and the window's view and buttons.
constexpr int kPlotButton = 3319;
constexpr int kWholePlotButton = 3320;
constexpr int kExportPlotButton = 3321;
constexpr int kPlotView = 3322;
constexpr int kExportVolumeButton = 3323;
constexpr int kAddImageButton = 3324;
constexpr int kAddMissingAction = 3330;
// The data of a member row that stands for a member that is gone.
const QString kMissingMemberData = QStringLiteral("missing member");
// A geometry chosen by hand, for Export volume.
constexpr int kLayoutBox = 3325;
constexpr int kStripeEdit = 3326;
constexpr int kOrderEdit = 3327;
constexpr int kStartEdit = 3328;
constexpr int kParityDelayEdit = 3329;
constexpr int kLabelColumn = 1;
constexpr int kSizeColumn = 3;
constexpr int kDeviceColumn = 0;

const QString kParameterError = ToQString(kParameterErrorText);
const QString kErrorCaption = QStringLiteral("Error");

QStringList ListHeaders() {
  return {QStringLiteral("Device"), QStringLiteral("Label"), QStringLiteral("Serial"), QStringLiteral("Size")};
}

QString SizeText(int64_t bytes) { return ToQString(FormatSizeText(bytes)); }

}  // namespace

// Carries the worker's reports to the page's channels.
class CRaidDlg::PageReporter : public RaidReporter {
 public:
  explicit PageReporter(CRaidDlg& page) : page_(page) {}
  void Progress(int64_t position, int64_t maximum) override { page_.progressChannel_.post({position, maximum}); }
  void Tally(const uint64_t& tally) override { page_.foundChannel_.post(ToQString(FoundCountText(tally))); }

 private:
  CRaidDlg& page_;
};

CRaidDlg::CRaidDlg(PageHost& host, const DiskInventory& disks, QWidget* parent)
    : ToolPage(host, QStringLiteral("Raid Analysis"), parent),
      inventory_(disks),
      progressChannel_(this, [this](const ProgressPosition& p) { ShowProgress(progress_, p.position, p.maximum); }),
      foundChannel_(this, [this](const QString& text) { status_->setText(Tr(text)); }) {
  buildControls();
  fillDiskList();
  showDisksWithoutAccess();
}

CRaidDlg::~CRaidDlg() { stopAndWait(); }

void CRaidDlg::buildControls() {
  MakeLabel(this, 0, QStringLiteral("Log File:"), DluRect(10, 10, 40, 8));
  logPath_ = MakeEdit(this, 3306, QStringLiteral("Log File:"), DluRect(68, 8, 454, 13));
  QPushButton* browse = MakeButton(this, 3307, QStringLiteral("..."), DluRect(526, 8, 20, 13));
  connect(browse, &QPushButton::clicked, this, &CRaidDlg::chooseLogFile);

  MakeLabel(this, 0, QStringLiteral("Start Sector:"), DluRect(10, 29, 56, 8));
  startSector_ = MakeDigitEdit(this, 3308, QStringLiteral("Start Sector:"), DluRect(68, 27, 90, 13));
  MakeLabel(this, 0, QStringLiteral("End Sector:"), DluRect(176, 29, 50, 8));
  endSector_ = MakeDigitEdit(this, 3309, QStringLiteral("End Sector:"), DluRect(228, 27, 90, 13));

  disks_ = new CheckListModel(ListHeaders(), true, this);
  diskView_ = new CheckListView(disks_, this);
  diskView_->setGeometry(DluRect(10, 48, 308, 178));
  SetControlId(diskView_, kDiskListId, QStringLiteral("Disks"));
  members_ = new CheckListModel(ListHeaders(), true, this);
  memberView_ = new CheckListView(members_, this);
  memberView_->setGeometry(DluRect(334, 48, 308, 178));
  SetControlId(memberView_, kMemberListId, QStringLiteral("Members"));
  // Device and Serial share what Label and Size leave of the disk list's width.
  const int wide = (diskView_->width() - 2 * diskView_->frameWidth() - 120) / 2;
  for (CheckListView* view : {diskView_, memberView_}) {
    view->setColumnWidths({wide, 60, wide, 60});
    view->listModel()->setTranslatedColumns({kSizeColumn});  // a size's unit ("512 Bytes")
    view->setAcceptDrops(true);
    view->viewport()->setAcceptDrops(true);
    view->viewport()->installEventFilter(this);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& position) { openMenu(view == diskView_ ? kDiskListId : kMemberListId, position); });
  }

  progress_ = MakeProgress(this, 3311, DluRect(10, 254, 632, 10));
  status_ = MakeStatusLine(this, 3312, QStringLiteral("MFT Numbers"), QString(), DluRect(10, 274, 300, 10));
  geometry_ = MakeStatusLine(this, kGeometryLine, QStringLiteral("Geometry"), QString(), DluRect(10, 288, 632, 22));
  geometry_->setWordWrap(true);
  geometry_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QPushButton* ok = MakeButton(this, 3304, QStringLiteral("Ok"), DluRect(520, 270, 56, 16));
  connect(ok, &QPushButton::clicked, this, &CRaidDlg::start);
  QPushButton* stop = MakeButton(this, 3305, QStringLiteral("Stop"), DluRect(586, 270, 56, 16));
  connect(stop, &QPushButton::clicked, this, [this] { stopFlag() = 1; });
  // Opens the records of the last run, drawn, once a run has found some.
  plotButton_ = MakeButton(this, kPlotButton, QStringLiteral("Plot"), DluRect(454, 270, 56, 16));
  plotButton_->setEnabled(false);
  connect(plotButton_, &QPushButton::clicked, this, &CRaidDlg::showPlot);
  // Assembles the volume by the geometry the last run named.
  exportVolumeButton_ = MakeButton(this, kExportVolumeButton, QStringLiteral("Export volume..."), DluRect(374, 270, 70, 16));
  exportVolumeButton_->setEnabled(false);
  connect(exportVolumeButton_, &QPushButton::clicked, this, &CRaidDlg::exportVolume);
  // Member images, the safe way to work on a set: imaged first, analysed from the images.
  QPushButton* addImage = MakeButton(this, kAddImageButton, QStringLiteral("Add image..."), DluRect(314, 270, 56, 16));
  connect(addImage, &QPushButton::clicked, this, &CRaidDlg::addImageFiles);

  // A geometry chosen by hand (an uncertain answer, or one from elsewhere) is exported in place of
  // the run's while a layout is chosen; the keys are brenvik-cli's --layout names.
  MakeLabel(this, 0, QStringLiteral("Layout:"), DluRect(10, 234, 30, 8));
  layout_ = new QComboBox(this);
  layout_->setGeometry(DluRect(42, 232, 110, 13));
  SetControlId(layout_, kLayoutBox, QStringLiteral("Layout:"));
  layout_->addItem(QString());
  for (const char* key : {"raid0", "raid5-left-asymmetric", "raid5-left-symmetric", "raid5-right-asymmetric",
                          "raid5-right-symmetric", "raid6", "raid1", "raid10", "jbod"})
    layout_->addItem(QString::fromLatin1(key));
  connect(layout_, &QComboBox::currentIndexChanged, this, [this] { exportVolumeButton_->setEnabled(canExportVolume()); });
  MakeLabel(this, 0, QStringLiteral("Stripe:"), DluRect(160, 234, 28, 8));
  stripe_ = MakeEdit(this, kStripeEdit, QStringLiteral("Stripe:"), DluRect(190, 232, 50, 13));
  MakeLabel(this, 0, QStringLiteral("Order:"), DluRect(248, 234, 26, 8));
  order_ = MakeEdit(this, kOrderEdit, QStringLiteral("Order:"), DluRect(276, 232, 80, 13));
  MakeLabel(this, 0, QStringLiteral("Start:"), DluRect(364, 234, 24, 8));
  start_ = MakeDigitEdit(this, kStartEdit, QStringLiteral("Start:"), DluRect(390, 232, 60, 13));
  MakeLabel(this, 0, QStringLiteral("Parity delay:"), DluRect(458, 234, 50, 8));
  parityDelay_ = MakeDigitEdit(this, kParityDelayEdit, QStringLiteral("Parity delay:"), DluRect(510, 232, 40, 13));

  menu_ = new QMenu(QStringLiteral("raid"), this);
  menu_->setObjectName(QStringLiteral("3300"));
  const auto addAction = [this](int id, const QString& caption, std::function<void()> handler) {
    AddMenuItem(menu_, this, id, caption, std::move(handler));
  };
  addAction(3314, QStringLiteral("Mark All"), [this] { markAll(true); });
  addAction(3315, QStringLiteral("Unmark All"), [this] { markAll(false); });
  menu_->addSeparator();
  addAction(3317, QStringLiteral("Remove files"), [this] { members_->removeCheckedRows(); });
  addAction(3318, QStringLiteral("Add files"), [this] { addImageFiles(); });
  addAction(kAddMissingAction, QStringLiteral("Add missing member"), [this] { addMissingMember(); });
  menu_->addSeparator();
  addAction(3316, QStringLiteral("Right->"), [this] { copyCheckedDisks(); });
}

void CRaidDlg::fillDiskList() {
  std::vector<ListRow> rows;
  for (const DiskIdentity& disk : inventory_.identities()) {
    ListRow row;
    row.cells = {ToQString(AnsiToText(disk.model)), QStringLiteral("#%1").arg(disk.diskNumber),
                 ToQString(AnsiToText(disk.serial)), SizeText(disk.diskSize)};
    rows.push_back(std::move(row));
  }
  disks_->appendRows(std::move(rows));
}

void CRaidDlg::showDisksWithoutAccess() {
  const DiskInventory& inventory = inventory_;
  QStringList denied;
  for (const WholeDisk& disk : ListDisksWithoutAccess(inventory.sysfsRoot(), inventory.devRoot()))
    denied << PathToQString(disk.deviceNode);
  if (denied.isEmpty()) return;
  // The line is short; the whole text stays at hand in the tooltip.
  const QString text = QStringLiteral("No access to %1: join the disk group, or start through pkexec (%2 %3)")
                           .arg(denied.join(QStringLiteral(", ")), host().applicationName(),
                                QLatin1String(kAdminOption));
  status_->setText(Tr(text));
  status_->setToolTip(Tr(text));
}

QMenu* CRaidDlg::openMenu(int listId, QPoint position) {
  CheckListView* view = listId == kDiskListId ? diskView_ : memberView_;
  // The disk list only offers its menu over a row.
  if (listId == kDiskListId && !view->indexAt(position).isValid()) return nullptr;
  menuSource_ = listId == kDiskListId ? kDiskList : kMemberList;
  const bool onDisks = menuSource_ == kDiskList;
  for (QAction* action : menu_->actions()) {
    const int id = action->objectName().toInt();
    if (id == 3317 || id == 3318 || id == kAddMissingAction) action->setEnabled(!onDisks);
    if (id == 3316) action->setEnabled(onDisks);
  }
  menu_->popup(view->viewport()->mapToGlobal(position));
  return menu_;
}

void CRaidDlg::markAll(bool checked) {
  if (menuSource_ == kDiskList) disks_->setAllChecked(checked);
  if (menuSource_ == kMemberList) members_->setAllChecked(checked);
}

void CRaidDlg::addImageFiles() {
  addImages(members_, host().ui().chooseOpenFiles(this, QStringLiteral("Open"),
                                                  QStringLiteral("img Files (*.img);;All Files (*.*)")));
}

bool CRaidDlg::eventFilter(QObject* watched, QEvent* event) {
  CheckListModel* list = watched == diskView_->viewport() ? disks_ : watched == memberView_->viewport() ? members_ : nullptr;
  if (list == nullptr || (event->type() != QEvent::DragEnter && event->type() != QEvent::DragMove &&
                          event->type() != QEvent::Drop))
    return ToolPage::eventFilter(watched, event);
  auto* drop = static_cast<QDropEvent*>(event);
  const QMimeData* data = drop->mimeData();
  if (data == nullptr || !data->hasUrls() || isRunning()) return false;
  if (event->type() == QEvent::Drop) {
    QStringList files;
    for (const QUrl& url : data->urls())
      if (url.isLocalFile()) files << url.toLocalFile();
    addImages(list, files);
  }
  drop->acceptProposedAction();
  return true;
}

void CRaidDlg::addImages(CheckListModel* list, const QStringList& files) {
  for (const QString& file : files) {
    const std::filesystem::path path = QStringToPath(file);
    UniqueFd fd = OpenSharedInput(path, true);
    if (!fd) continue;
    ListRow row;
    row.cells = {file, QString(), PathToQString(path.filename()), SizeText(FileSize(fd.get()))};
    list->appendRow(std::move(row));
  }
}

// A member that is gone, in its place in the array: rebuilt from the others where the layout
// allows (a RAID 5 one member, a RAID 6 two), as "missing" does on the command line.
void CRaidDlg::addMissingMember() {
  ListRow row;
  row.cells = {QStringLiteral("missing"), QString(), QString(), QString()};
  row.data = kMissingMemberData;
  members_->appendRow(std::move(row));
}

void CRaidDlg::copyCheckedDisks() {
  for (int i = 0; i < disks_->rowCount(); ++i) {
    if (!disks_->isChecked(i)) continue;
    ListRow row;
    row.cells = disks_->row(i).cells;
    members_->appendRow(std::move(row));
  }
}

void CRaidDlg::chooseLogFile() {
  const QString path = host().ui().chooseSaveFile(this, QStringLiteral("Save As"),
                                                  QStringLiteral("txt Files (*.txt);;All Files (*.*)"), QString(),
                                                  QStringLiteral("txt"));
  if (!path.isEmpty()) logPath_->setText(path);
}

std::vector<RaidMember> CRaidDlg::members() const {
  std::vector<RaidMember> result;
  for (int i = 0; i < members_->rowCount(); ++i) {
    const QStringList& cells = members_->row(i).cells;
    const QString label = cells.value(kLabelColumn);
    RaidMember member;
    member.label = ToText(label);
    if (members_->row(i).data == kMissingMemberData) {
      member.label = u"missing";  // no path: the member is rebuilt
    } else if (label.isEmpty()) {
      member.path = QStringToPath(cells.value(kDeviceColumn));
    } else {
      // "#n": disk n, opened through the node the inventory found it at.
      member.path = inventory_.IdentityNode(label.mid(1).toInt());
      if (member.path.empty()) member.path = QStringToPath(label);
    }
    result.push_back(std::move(member));
  }
  return result;
}

void CRaidDlg::start() {
  if (refuseIfBusy()) return;
  std::optional<RaidRequest> job = MakeRaidRequest(ToText(logPath_->text()), ToText(startSector_->text()),
                                           ToText(endSector_->text()));
  if (!job) {
    showValidation(kParameterError);
    return;
  }
  job->members = members();
  status_->clear();
  status_->setToolTip(QString());
  geometry_->clear();
  RaidRequest run = *job;
  startJob(
      [this, job = std::move(*job)] {
        PageReporter reporter(*this);
        return RunRaidAnalysis(job, stopFlag(), reporter);
      },
      [this, run = std::move(run)](RaidResult result) { showOutcome(result, run); });
}

void CRaidDlg::showOutcome(RaidResult& result, const RaidRequest& run) {
  geometry_->setText(Tr(FormatGeometryText(result.geometry)));
  // The plot always shows the last run; one that found nothing has nothing to draw.
  plot_.reset();
  if (!result.plot.runs.empty()) {
    plot_ = std::make_shared<const RaidPlotModel>(std::move(result.plot));
    plotRun_ = run;
    if (plotView_ != nullptr) plotView_->setModel(plot_);
  } else if (plotWindow_ != nullptr) {
    plotWindow_->hide();
  }
  plotButton_->setEnabled(plot_ != nullptr);
  volume_.reset();
  if (result.geometry.verdict == RaidGeometry::Verdict::Decided && result.geometry.best)
    volume_ = RaidVolumeRequest{run.members, *result.geometry.best, {}, {run.logPath}};
  exportVolumeButton_->setEnabled(canExportVolume());
  // No message ends a finished run.
  const std::u16string failure = RaidOutcomeText(result);
  if (!failure.empty()) showMessage(ToQString(failure), kErrorCaption, MessageIcon::Error);
}

void CRaidDlg::showPlot() {
  if (!plot_) return;
  if (plotWindow_ == nullptr) {
    plotWindow_ = new QWidget(this, Qt::Window);
    plotWindow_->setWindowTitle(Tr(QStringLiteral("Raid Analysis: MFT records on the members")));
    plotView_ = new RaidPlotView(plotWindow_);
    SetControlId(plotView_, kPlotView, plotView_->accessibleName());
    auto* whole = new QPushButton(Tr(QStringLiteral("Whole Plot")), plotWindow_);
    SetControlId(whole, kWholePlotButton, whole->text());
    connect(whole, &QPushButton::clicked, plotView_, &RaidPlotView::showWhole);
    auto* save = new QPushButton(Tr(QStringLiteral("Export...")), plotWindow_);
    SetControlId(save, kExportPlotButton, save->text());
    connect(save, &QPushButton::clicked, this, &CRaidDlg::exportPlot);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(whole);
    buttons->addWidget(save);
    auto* layout = new QVBoxLayout(plotWindow_);
    layout->addWidget(plotView_, 1);
    layout->addLayout(buttons);
    plotWindow_->resize(1000, 700);
    plotView_->setModel(plot_);
  }
  plotWindow_->show();
  plotWindow_->raise();
}

bool CRaidDlg::canExportVolume() const { return volume_.has_value() || !layout_->currentText().isEmpty(); }

void CRaidDlg::exportVolume() {
  if (!canExportVolume() || refuseIfBusy()) return;
  std::optional<RaidVolumeRequest> chosen = volume_;
  if (!layout_->currentText().isEmpty()) {
    // The geometry chosen by hand, over the members as listed now.
    const std::vector<RaidMember> listed = members();
    RaidGeometryTexts texts;
    texts.layout = layout_->currentText().toStdString();
    texts.stripe = stripe_->text().trimmed().toStdString();
    texts.order = order_->text().trimmed().toStdString();
    texts.start = start_->text().trimmed().toStdString();
    texts.parityDelay = parityDelay_->text().trimmed().toStdString();
    RaidGeometryField bad = RaidGeometryField::None;
    const std::optional<RaidGeometryGuess> geometry = ParseRaidGeometry(texts, listed.size(), bad);
    if (!geometry) {
      showValidation(kParameterError);
      return;
    }
    chosen = RaidVolumeRequest{listed, *geometry, {}, {}};
    if (!logPath_->text().isEmpty()) chosen->kept.push_back(QStringToPath(logPath_->text()));
  }
  const QString path = host().ui().chooseSaveFile(this, QStringLiteral("Save As"),
                                                  QStringLiteral("img Files (*.img);;All Files (*.*)"), QString(),
                                                  QStringLiteral("img"));
  if (path.isEmpty()) return;
  RaidVolumeRequest request = *chosen;
  request.target = QStringToPath(path);
  status_->clear();
  startJob(
      [this, request = std::move(request)] {
        class Reporter : public RaidVolumeReporter {
         public:
          explicit Reporter(CRaidDlg& page) : page_(page) {}
          void Progress(int64_t position, int64_t maximum) override { page_.progressChannel_.post({position, maximum}); }

         private:
          CRaidDlg& page_;
        } reporter(*this);
        return RunRaidAssembly(request, stopFlag(), reporter);
      },
      [this](const RaidVolumeResult& result) {
        const std::u16string failure = RaidVolumeOutcomeText(result);
        if (!failure.empty()) {
          showMessage(ToQString(failure), kErrorCaption, MessageIcon::Error);
          return;
        }
        status_->setText(Tr(QStringLiteral("Volume: %1 of %2 bytes written").arg(result.written).arg(result.volumeSize)));
      });
}

void CRaidDlg::exportPlot() {
  const QString path = host().ui().chooseSaveFile(plotWindow_, QStringLiteral("Save As"),
                                                  QStringLiteral("png Files (*.png);;svg Files (*.svg)"), QString(),
                                                  QStringLiteral("png"));
  if (path.isEmpty() || !plot_) return;
  const std::filesystem::path file = QStringToPath(path);
  const QByteArray bytes =
      RenderRaidPlot(*plot_, plotView_->bounds(), PlotFormatOf(file).value_or(PlotFormat::Png));
  // Never over a member or the run's log.
  if (!WriteRaidPlot(file, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), plotRun_))
    showMessage(QStringLiteral("Failed to create file"), kErrorCaption, MessageIcon::Error);
}

}  // namespace brenvik

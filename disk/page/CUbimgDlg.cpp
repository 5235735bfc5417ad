#include "disk/page/CUbimgDlg.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <climits>

#include "core/StartOptions.h"
#include "disk/page/RescueMapView.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {

namespace {

enum Column { kDevice = 0, kLabel, kType, kSerial, kSize };

const QString kStandard = QStringLiteral("标准");
const QString kNonStandard = QStringLiteral("非标");
const QString kImage = QStringLiteral("镜像");
const QString kFileFilter = QStringLiteral("img Files (*.img);;All Files (*.*)");


ListRow DeviceRow(const QString& device, const QString& label, const QString& type, const QString& serial,
                  const QString& size) {
  ListRow row;
  row.cells = {device, label, type, serial, size};
  return row;
}

CheckListView* MakeList(QWidget* parent, int id, CheckListModel* model, QRect rect, const QString& name) {
  auto* view = new CheckListView(model, parent);
  view->setGeometry(rect);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);  // equal column widths
  SetControlId(view, id, name);
  return view;
}

}  // namespace

CUbimgDlg::CUbimgDlg(PageHost& host, QWidget* parent) : ToolPage(host, QStringLiteral("N.S Image"), parent) {
  const QStringList columns = {QStringLiteral("Device"), QStringLiteral("Label"), QStringLiteral("Type"),
                               QStringLiteral("Serial"), QStringLiteral("Size")};
  sourceModel_ = new CheckListModel(columns, false, this);
  targetModel_ = new CheckListModel(columns, false, this);
  messageModel_ = new CheckListModel({QStringLiteral("Title"), QStringLiteral("Description")}, false, this);
  messageModel_->setTranslatedColumns({0, 1});
  sourceModel_->setTranslatedColumns({2});  // the kind of disk: standard or not
  targetModel_->setTranslatedColumns({2});
  sourceView_ = MakeList(this, 2003, sourceModel_, DluRect(7, 7, 316, 120), QStringLiteral("Source"));
  targetView_ = MakeList(this, 2006, targetModel_, DluRect(329, 7, 316, 120), QStringLiteral("Target"));
  messageView_ = MakeList(this, 1090, messageModel_, DluRect(7, 216, 638, 100), QStringLiteral("Messages"));

  // The source and target parameter rows.
  auto parameterRows = [this](int x, int tipsId, int startId, int sizeId, int sectorId) {
    MakeLabel(this, 0, QStringLiteral("Tips:"), DluRect(x, 134, 22, 8));
    QLineEdit* tips = MakeEdit(this, tipsId, QStringLiteral("Tips:"), DluRect(x + 23, 132, 293, 12));
    MakeLabel(this, 0, QStringLiteral("Start:"), DluRect(x, 150, 22, 8));
    QLineEdit* start = MakeEdit(this, startId, QStringLiteral("Start:"), DluRect(x + 23, 148, 70, 12));
    MakeLabel(this, 0, QStringLiteral("Size:"), DluRect(x + 99, 150, 20, 8));
    QLineEdit* size = MakeEdit(this, sizeId, QStringLiteral("Size:"), DluRect(x + 120, 148, 90, 12));
    MakeLabel(this, 0, QStringLiteral("Sector:"), DluRect(x + 216, 150, 30, 8));
    QLineEdit* sector = MakeEdit(this, sectorId, QStringLiteral("Sector:"), DluRect(x + 247, 148, 40, 12));
    return std::array<QLineEdit*, 4>{tips, start, size, sector};
  };
  auto s = parameterRows(7, 1081, 1086, 1080, 1087);
  sourceTips_ = s[0], sourceStart_ = s[1], sourceSize_ = s[2], sourceSector_ = s[3];
  auto t = parameterRows(329, 1089, 1091, 1088, 1092);
  targetTips_ = t[0], targetStart_ = t[1], targetSize_ = t[2], targetSector_ = t[3];

  // How often each unreadable sector is tried again on its own after the copy.
  MakeLabel(this, 0, QStringLiteral("Retries:"), DluRect(7, 166, 30, 8));
  retries_ = MakeDigitEdit(this, 1097, QStringLiteral("Retries:"), DluRect(38, 164, 30, 12));
  retries_->setText(QStringLiteral("1"));

  // An NTFS source in the order that saves the most first, and a map limiting the copy.
  usedFirst_ = MakeCheckBox(this, 1098, QStringLiteral("Used space first"), DluRect(75, 165, 70, 10), false);
  usedOnly_ = MakeCheckBox(this, 1099, QStringLiteral("Used space only"), DluRect(148, 165, 70, 10), false);
  QPushButton* domainButton = MakeButton(this, 2013, QStringLiteral("Domain map..."), DluRect(221, 164, 56, 12));
  domainMap_ = MakeEdit(this, 1100, QStringLiteral("Domain map"), DluRect(280, 164, 43, 12));

  targetFileBox_ = MakeCheckBox(this, 1082, QStringLiteral("Target File:"), DluRect(329, 165, 64, 10), false);
  targetFile_ = MakeEdit(this, 1083, QStringLiteral("Target File:"), DluRect(394, 164, 227, 12));
  browse_ = MakeButton(this, 1084, QStringLiteral("..."), DluRect(625, 164, 20, 12));
  targetFile_->setEnabled(false);
  browse_->setEnabled(false);

  progress_ = MakeProgress(this, 2007, DluRect(7, 182, 638, 10));
  MakeLabel(this, 0, QStringLiteral("LBA:"), DluRect(7, 199, 18, 8));
  lba_ = MakeEdit(this, 1094, QStringLiteral("LBA:"), DluRect(27, 197, 90, 12), true);
  MakeLabel(this, 0, QStringLiteral("Speed:"), DluRect(125, 199, 29, 8));
  speed_ = MakeEdit(this, 1095, QStringLiteral("Speed:"), DluRect(155, 197, 90, 12), true);
  MakeLabel(this, 0, QStringLiteral("Time:"), DluRect(253, 199, 22, 8));
  time_ = MakeEdit(this, 1096, QStringLiteral("Time:"), DluRect(277, 197, 100, 12), true);
  QPushButton* mapButton = MakeButton(this, 2012, QStringLiteral("Map"), DluRect(387, 195, 60, 16));
  QPushButton* refreshButton = MakeButton(this, 2008, QStringLiteral("Refresh"), DluRect(455, 195, 60, 16));
  QPushButton* okButton = MakeButton(this, 2004, QStringLiteral("Ok"), DluRect(520, 195, 60, 16));
  QPushButton* stopButton = MakeButton(this, 2005, QStringLiteral("Stop"), DluRect(585, 195, 60, 16));

  // The source list's right-click menu ("N.S").
  sourceMenu_ = new QMenu(QStringLiteral("N.S"), this);
  sourceMenu_->setObjectName(QStringLiteral("2009"));
  QAction* add = sourceMenu_->addAction(Tr(QStringLiteral("Add files")));
  add->setObjectName(QStringLiteral("2010"));
  QAction* remove = sourceMenu_->addAction(Tr(QStringLiteral("Remove files")));
  remove->setObjectName(QStringLiteral("2011"));
  connect(add, &QAction::triggered, this, &CUbimgDlg::addFiles);
  connect(remove, &QAction::triggered, this, &CUbimgDlg::removeFiles);
  connect(sourceView_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { sourceMenu_->popup(sourceView_->viewport()->mapToGlobal(at)); });

  connect(sourceView_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            rowChanged(*sourceModel_, current.row(), {sourceTips_, sourceStart_, sourceSize_, sourceSector_});
          });
  connect(targetView_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            rowChanged(*targetModel_, current.row(), {targetTips_, targetStart_, targetSize_, targetSector_});
          });
  connect(targetFileBox_, &QCheckBox::toggled, this, &CUbimgDlg::targetFileToggled);
  connect(browse_, &QPushButton::clicked, this, &CUbimgDlg::chooseTargetFile);
  connect(refreshButton, &QPushButton::clicked, this, &CUbimgDlg::refresh);
  connect(okButton, &QPushButton::clicked, this, &CUbimgDlg::ok);
  connect(stopButton, &QPushButton::clicked, this, [this] { stopFlag() = 1; });
  connect(mapButton, &QPushButton::clicked, this, &CUbimgDlg::showMapWindow);
  connect(domainButton, &QPushButton::clicked, this, &CUbimgDlg::chooseDomainMap);
  connect(domainMap_, &QLineEdit::textChanged, domainMap_, &QLineEdit::setToolTip);

  mapWindow_ = new RescueMapWindow(this);
  connect(mapWindow_, &RescueMapWindow::openRequested, this, &CUbimgDlg::chooseMap);
  for (QWidget* target : {static_cast<QWidget*>(this), static_cast<QWidget*>(mapWindow_)})
    AcceptMapDrops(target, [this](const QString& path) { openMap(path); });

  messages_ = std::make_unique<RowBatchChannel<ListRow>>(
      this, [this](std::vector<ListRow> rows) {
        messageModel_->appendRows(std::move(rows));
        messageView_->scrollToBottom();
      });
  progressChannel_ = std::make_unique<LatestValueChannel<ProgressPosition>>(
      this, [this](const ProgressPosition& p) { ShowProgress(progress_, p.position, p.maximum); });
  displayChannel_ = std::make_unique<LatestValueChannel<ImagingDisplays>>(this, [this](const ImagingDisplays& d) {
    lba_->setText(ToQString(d.lba));
    if (d.speed) speed_->setText(Tr(*d.speed));
    if (d.time) time_->setText(Tr(*d.time));
  });
  // A closed map window costs the copy nothing: the map is only drawn when the window shows.
  mapChannel_ = std::make_unique<LatestValueChannel<std::shared_ptr<const RescueMapSnapshot>>>(
      this, [this](const std::shared_ptr<const RescueMapSnapshot>& map) {
        copyMap_ = map;
        if (mapWindow_->isVisible()) mapWindow_->showCopyProgress(map);
      });
}

CUbimgDlg::~CUbimgDlg() { stopAndWait(); }

void CUbimgDlg::appendMessage(const QString& title, const QString& description) {
  ListRow row;
  row.cells = {title, description};
  messages_->post(std::move(row));
  messages_->flush();  // after any rows a worker left pending, so the order stays
}

void CUbimgDlg::postMessage(std::u16string_view title, std::u16string_view description) {
  ListRow row;
  row.cells = {ToQString(title), ToQString(description)};
  messages_->post(std::move(row));
}

// ---- Refresh ----

void CUbimgDlg::refresh() {
  if (isRunning()) {
    showMessage(QStringLiteral("请等待其他任务完成..."), QStringLiteral("警告"), MessageIcon::Warning);
    return;
  }
  manager_.reset();
  diskNodes_.clear();
  sourceModel_->clear();
  targetModel_->clear();
  const QString adminCommand = host().applicationName() + QChar(' ') + QLatin1String(kAdminOption);
  startJob([this, adminCommand] { return refreshWorker(adminCommand); },
           [this](ImagingDeviceScan scan) { showDevices(std::move(scan)); });
}

ImagingDeviceScan CUbimgDlg::refreshWorker(const QString& adminCommand) {
  postMessage(u"刷新设备", u"正在枚举设备中...");

  ImagingDeviceScan scan = ScanImagingDevices(sources_);
  // Disks left out for want of rights are named, with the two ways in, rather than just missing.
  QStringList denied;
  for (const std::filesystem::path& node : scan.denied) denied << PathToQString(node);
  if (!denied.isEmpty())
    postMessage(u"权限", ToText(QStringLiteral("无权读写磁盘 %1：将用户加入 disk 组后重新登录，或通过 pkexec 启动本程序 (%2)")
                                   .arg(denied.join(QStringLiteral("、")), adminCommand)));
  postMessage(u"刷新设备", u"枚举设备完成");
  return scan;
}

void CUbimgDlg::showDevices(ImagingDeviceScan scan) {
  const auto rows = [](const std::vector<ImagingDeviceRow>& devices, const QString& type) {
    std::vector<ListRow> list;
    for (const ImagingDeviceRow& d : devices)
      list.push_back(DeviceRow(ToQString(d.device), ToQString(d.label), type, ToQString(d.serial), ToQString(d.size)));
    return list;
  };
  manager_ = std::move(scan.manager);
  diskNodes_ = std::move(scan.diskNodes);
  std::vector<ListRow> standard = rows(scan.standard, kStandard);
  sourceModel_->appendRows(standard);
  targetModel_->appendRows(std::move(standard));
  sourceModel_->appendRows(rows(scan.nonStandard, kNonStandard));
}

// ---- image files ----

void CUbimgDlg::addFiles() {
  const QString chosen = host().ui().chooseOpenFile(this, QStringLiteral("Open"), kFileFilter);
  if (chosen.isEmpty()) return;
  const std::filesystem::path path = QStringToPath(chosen);
  UniqueFd fd = OpenSharedInput(path, true);
  if (!fd) return;  // a FIFO or folder could never be imaged
  const int64_t length = FileSize(fd.get());
  sourceModel_->appendRow(DeviceRow(chosen, QString(), kImage, PathToQString(path.filename()),
                                    QString::number(static_cast<uint64_t>(std::max<int64_t>(length, 0)) / 512)));
}

void CUbimgDlg::removeFiles() {
  const int row = sourceView_->currentIndex().row();
  if (row < 0 || row >= sourceModel_->rowCount()) return;
  if (sourceModel_->row(row).cells[kType] != kImage) return;
  sourceModel_->removeRowsAt({row});
}

// ---- row changes and the target file ----

void CUbimgDlg::rowChanged(const CheckListModel& model, int row, const std::array<QLineEdit*, 4>& edits) {
  if (row < 0 || row >= model.rowCount()) return;
  const QStringList& cells = model.row(row).cells;
  // The Tips text is the key by which Ok finds the chosen device again.
  edits[0]->setText(ToQString(MakeTipsText(
      {ToText(cells[kLabel]), ToText(cells[kDevice]), ToText(cells[kSerial]), ToText(cells[kSize])})));
  edits[1]->setText(QStringLiteral("0"));
  edits[2]->setText(cells[kSize]);
  edits[3]->setText(cells[kType] == kStandard ? QStringLiteral("512") : QStringLiteral("520"));
}

void CUbimgDlg::targetFileToggled(bool checked) {
  targetFile_->setEnabled(checked);
  browse_->setEnabled(checked);
  if (!checked) return;
  targetStart_->setText(QStringLiteral("0"));
  targetSector_->setText(QStringLiteral("512"));
  targetSize_->setText(sourceSize_->text());
}

void CUbimgDlg::chooseTargetFile() {
  const QString chosen =
      host().ui().chooseSaveFile(this, QStringLiteral("Save As"), kFileFilter, QString(), QStringLiteral("img"));
  if (!chosen.isEmpty()) targetFile_->setText(chosen);
}

void CUbimgDlg::chooseDomainMap() {
  const QString chosen = host().ui().chooseOpenFile(this, QStringLiteral("Domain map"),
                                                    QStringLiteral("Map Files (*.map);;All Files (*.*)"));
  if (!chosen.isEmpty()) domainMap_->setText(chosen);
}

// ---- the rescue map ----

void CUbimgDlg::showMapWindow() {
  if (mapWindow_->followsCopy()) mapWindow_->followCopy(copyMap_);
  mapWindow_->show();
  mapWindow_->raise();
  mapWindow_->activateWindow();
}

void CUbimgDlg::chooseMap() {
  const QString chosen = host().ui().chooseOpenFile(mapWindow_, QStringLiteral("Open Map"),
                                                    QStringLiteral("Map Files (*.map);;All Files (*.*)"));
  if (!chosen.isEmpty()) openMap(chosen);
}

void CUbimgDlg::openMap(const QString& path) {
  const RescueMapFile::Loaded loaded = RescueMapFile::at(QStringToPath(path)).load();
  const auto map = SnapshotOfMap(loaded.parsed);
  if (loaded.found != RescueMapFile::Found::Map || !map) {
    showMessage(QStringLiteral("Not a rescue map: ") + path, QStringLiteral("Rescue Map"), MessageIcon::Warning);
    return;
  }
  mapWindow_->showFile(std::make_shared<const RescueMapSnapshot>(*map), path);
  mapWindow_->show();
  mapWindow_->raise();
}

// ---- Ok ----

namespace {

// Forwards the copy's reports to the page's channels.
class PageReporter : public ImagingReporter {
 public:
  PageReporter(std::function<void(std::u16string_view, std::u16string_view)> message,
               LatestValueChannel<ProgressPosition>& progress, LatestValueChannel<ImagingDisplays>& displays,
               LatestValueChannel<std::shared_ptr<const RescueMapSnapshot>>& map)
      : message_(std::move(message)), progress_(progress), displays_(displays), map_(map) {}
  void Message(std::u16string_view title, std::u16string_view description) override { message_(title, description); }
  void Progress(int64_t position, int64_t maximum) override { progress_.post({position, maximum}); }
  void Tally(const ImagingDisplays& d) override {
    displays_.post(d);
    // Its own channel: a later display without a map must not drop the map still pending.
    if (d.map) map_.post(d.map);
  }

 private:
  std::function<void(std::u16string_view, std::u16string_view)> message_;
  LatestValueChannel<ProgressPosition>& progress_;
  LatestValueChannel<ImagingDisplays>& displays_;
  LatestValueChannel<std::shared_ptr<const RescueMapSnapshot>>& map_;
};

}  // namespace

void CUbimgDlg::ok() {
  if (isRunning()) {
    appendMessage(QStringLiteral("警告"), QStringLiteral("请等待其他线程任务完成"));
    return;
  }
  stopFlag() = 0;
  ImagingForm form;
  form.sourceListEmpty = sourceModel_->rowCount() == 0;
  form.sourceTips = ToText(sourceTips_->text());
  form.sourceStart = ToText(sourceStart_->text());
  form.sourceSize = ToText(sourceSize_->text());
  form.sourceSector = ToText(sourceSector_->text());
  form.targetFileChecked = targetFileBox_->isChecked();
  form.targetFilePath = ToText(targetFile_->text());
  form.domainMap = ToText(domainMap_->text());
  form.usedFirst = usedFirst_->isChecked();
  form.usedOnly = usedOnly_->isChecked();
  form.targetTips = ToText(targetTips_->text());
  form.targetStart = ToText(targetStart_->text());
  form.targetSize = ToText(targetSize_->text());
  form.targetSector = ToText(targetSector_->text());
  form.retries = ToText(retries_->text());

  static const std::vector<std::unique_ptr<ScsiDevice>> kNoDevices;
  const ValidatedImagingForm request = ValidateImagingForm(
      form, manager_ ? std::span(manager_->devices()) : std::span(kNoDevices), [this](int disk) {
        auto it = diskNodes_.find(disk);
        return it == diskNodes_.end() ? std::filesystem::path() : it->second;
      });
  if (request.copySourceSizeToTargetSize) targetSize_->setText(sourceSize_->text());
  if (!request.error.empty()) {
    appendMessage(QStringLiteral("错误"), ToQString(request.error));
    return;
  }

  ImagingEnvironment environment;
  environment.scsi = manager_ ? &manager_->host() : nullptr;
  environment.system = sources_.system;
  auto manager = manager_;  // keeps the SCSI source alive for the run
  copyMap_.reset();
  mapWindow_->followCopy(nullptr);
  startJob(
      [this, request, environment, manager] {
        PageReporter reporter([this](auto title, auto description) { postMessage(title, description); },
                              *progressChannel_, *displayChannel_, *mapChannel_);
        return RunImaging(request.parameters, stopFlag(), reporter, environment);
      },
      [](const ImagingOutcome&) {});
}

}  // namespace brenvik

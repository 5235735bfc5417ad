#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QFile>
#include <QMimeData>
#include <QUrl>
#include <QDropEvent>
#include <QTest>
#include <QWheelEvent>
#include <QApplication>
#include <sys/stat.h>
#include <map>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "raid/page/CRaidDlg.h"
#include "raid/RaidPlotPainter.h"
#include "raid/page/RaidPlotView.h"
#include "tests/disk/FakeDiskTree.h"
#include "tests/raid/MftRecordBuilder.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/OtherUser.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.native()); }

// The log as it must be on disk: byte-order mark and UTF-16LE text.
QByteArray Log(const QString& text) {
  QByteArray bytes("\xFF\xFE", 2);
  for (QChar c : text) {
    bytes.append(static_cast<char>(c.unicode() & 0xFF));
    bytes.append(static_cast<char>(c.unicode() >> 8));
  }
  return bytes;
}

// Images of three members holding MFT records 0..8 striped round-robin, one per 1024 bytes,
// from byte 2048 on; each image is 8 KiB.
std::vector<std::string> StripedImages() {
  std::vector<std::string> images(3, std::string(8192, '\0'));
  for (uint32_t record = 0; record < 9; ++record) {
    images[record % 3].replace(2048 + (record / 3) * 1024, 1024, AsBytes(MakeFileRecord(record)));
  }
  return images;
}

}  // namespace

class RaidPageTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<FakeDiskTree> tree_;
  std::unique_ptr<TestPageHost> host_;
  std::unique_ptr<CRaidDlg> page_;

  RecordingUi& ui() { return host_->recorder(); }
  CheckListModel* list(int id) { return FindControl<CheckListView>(page_.get(), id)->listModel(); }
  QAction* action(int id) { return page_->menu()->findChild<QAction*>(QString::number(id)); }
  void click(int id) { QTest::mouseClick(FindControl<QPushButton>(page_.get(), id), Qt::LeftButton); }
  QPoint overFirstRow(int listId) {
    auto* view = FindControl<CheckListView>(page_.get(), listId);
    return view->visualRect(view->model()->index(0, 0)).center();
  }
  void menuAction(int listId, QPoint at, int actionId) {
    QVERIFY(page_->openMenu(listId, at) != nullptr);
    action(actionId)->trigger();
    page_->menu()->hide();
  }
  // Writes each image as a member file and adds them all through the list's Add Files item.
  void addMembers(const std::vector<std::string>& images) {
    QStringList paths;
    for (size_t i = 0; i < images.size(); ++i) {
      const auto path = dir_->path() / ("member" + std::to_string(i) + ".img");
      WriteFile(path, images[i]);
      paths << Q(path);
    }
    ui().openFilesAnswers.push_back(paths);
    menuAction(3303, QPoint(5, 5), 3318);
  }
  void setRange(const QString& start, const QString& end) {
    FindControl<QLineEdit>(page_.get(), 3308)->setText(start);
    FindControl<QLineEdit>(page_.get(), 3309)->setText(end);
  }
  // Presses Ok and waits for the worker to end.
  void runToEnd() {
    click(3304);
    QTRY_VERIFY(!page_->isRunning());
    QTest::qWait(1);
  }
  // Presses Export volume, answering its file dialog with volume.img, and reads what it wrote.
  void exportVolumeInto(std::string& assembled) {
    ui().saveFileAnswers.push_back(Q(dir_->path() / "volume.img"));
    click(3323);
    QTRY_VERIFY(!page_->isRunning());
    assembled = ReadFile(dir_->path() / "volume.img");
  }
  static bool HoldsVolume(const std::string& assembled, const std::string& volume) {
    return assembled.size() >= volume.size() && assembled.compare(0, volume.size(), volume) == 0;
  }
  QByteArray readLog() {
    QFile file(Q(dir_->path() / "map.txt"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    tree_ = std::make_unique<FakeDiskTree>();
    tree_->add({.name = "sda", .sizeUnits = 2048, .vendor = "ATA", .model = "DISK A", .rev = "", .serial = "S A 1"});
    const std::vector<std::string> images = StripedImages();
    tree_->add({.name = "sdb", .sizeUnits = 16, .vendor = "", .model = "DISK B", .rev = ""}, images[1]);
    host_ = std::make_unique<TestPageHost>(dir_->path() / "tmp");
    host_->disks = DiskInventory(tree_->sysfsRoot(), tree_->devRoot());
    host_->disks.ScanDiskIdentities();
    page_ = std::make_unique<CRaidDlg>(*host_, host_->disks);
  }

  void cleanup() {
    page_.reset();
    host_.reset();
  }

  void listsTheDisksOfTheIdentityList() {
    CheckListModel* disks = list(3302);
    QCOMPARE(disks->rowCount(), 2);
    QCOMPARE(disks->row(0).cells, (QStringList{"ATADISK A", "#0", "SA1", "1.0 MB"}));
    QCOMPARE(disks->row(1).cells, (QStringList{"DISK B", "#1", "", "8.0 KB"}));
    QVERIFY(disks->isChecked(0));
    QCOMPARE(disks->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Device"));
    QCOMPARE(list(3303)->rowCount(), 0);
  }

  void statusNamesTheDisksTheUserMayNotOpen() {
    QVERIFY(FindControl<QLabel>(page_.get(), 3312)->text().isEmpty());  // root opens every disk
    ::chmod(tree_->sysfsRoot().parent_path().c_str(), 0755);
    ::chmod((tree_->devRoot() / "sda").c_str(), 0600);
    ::chmod((tree_->devRoot() / "sdb").c_str(), 0666);
    std::unique_ptr<CRaidDlg> page;
    {
      OtherUser nobody;
      if (!nobody.active()) QSKIP("needs root to build the page as the user nobody");
      page = std::make_unique<CRaidDlg>(*host_, host_->disks);
    }
    auto* status = FindControl<QLabel>(page.get(), 3312);
    const QString expected = "No access to " + Q(tree_->devRoot() / "sda") +
                             ": join the disk group, or start through pkexec (brenvik --admin)";
    QCOMPARE(status->text(), expected);
    QCOMPARE(status->toolTip(), expected);
  }

  void refusesAnEmptyPathOrAnEmptyRange() {
    setRange("10", "11");
    click(3304);
    QCOMPARE(ui().lastText(), QStringLiteral("Parameter setting error, please reset"));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("brenvik"));
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("10", "10");
    click(3304);
    QCOMPARE(ui().messages.size(), size_t{2});
    QVERIFY(!page_->isRunning());
    QVERIFY(!std::filesystem::exists(dir_->path() / "map.txt"));
  }

  void menuGreysWhatDoesNotApplyToItsList() {
    QVERIFY(page_->openMenu(3302, QPoint(5, 2000)) == nullptr);  // below the last disk row
    QVERIFY(page_->openMenu(3302, overFirstRow(3302)) != nullptr);
    QVERIFY(action(3314)->isEnabled());
    QVERIFY(action(3316)->isEnabled());
    QVERIFY(!action(3317)->isEnabled());
    QVERIFY(!action(3318)->isEnabled());
    page_->menu()->hide();
    QVERIFY(page_->openMenu(3303, QPoint(5, 5)) != nullptr);  // anywhere on the member list
    QVERIFY(!action(3316)->isEnabled());
    QVERIFY(action(3317)->isEnabled());
    QVERIFY(action(3318)->isEnabled());
    QCOMPARE(action(3316)->text(), QStringLiteral("Right->"));
    page_->menu()->hide();
  }

  void markRightAndRemoveWorkOnTheirLists() {
    menuAction(3302, overFirstRow(3302), 3315);  // Unmark All on the disk list
    QVERIFY(!list(3302)->isChecked(0) && !list(3302)->isChecked(1));
    list(3302)->setChecked(1, true);
    menuAction(3302, overFirstRow(3302), 3316);  // Right->
    QCOMPARE(list(3303)->rowCount(), 1);
    QCOMPARE(list(3303)->row(0).cells, list(3302)->row(1).cells);

    WriteFile(dir_->path() / "x.img", std::string(1536, 'x'));
    ui().openFilesAnswers.push_back({Q(dir_->path() / "x.img"), Q(dir_->path() / "gone.img")});
    menuAction(3303, QPoint(5, 5), 3318);  // Add files: the missing one is left out
    QCOMPARE(list(3303)->rowCount(), 2);
    QCOMPARE(list(3303)->row(1).cells, (QStringList{Q(dir_->path() / "x.img"), "", "x.img", "1.5 KB"}));

    menuAction(3303, QPoint(5, 5), 3315);  // Unmark All on the member list leaves the disks alone
    QVERIFY(list(3302)->isChecked(1));
    list(3303)->setChecked(0, true);
    menuAction(3303, QPoint(5, 5), 3317);  // Remove files: only the checked rows
    QCOMPARE(list(3303)->rowCount(), 1);
    QCOMPARE(list(3303)->row(0).cells.value(2), QStringLiteral("x.img"));
    menuAction(3303, QPoint(5, 5), 3314);
    QVERIFY(list(3303)->isChecked(0));
  }

  // Member images come in through the Add image... button and by dropping files on either list;
  // an image dropped on the disk list goes over with Right-> like a disk.
  void imagesAreAddedByButtonAndByDrop() {
    WriteFile(dir_->path() / "a.img", std::string(1024, 'a'));
    WriteFile(dir_->path() / "b.img", std::string(2048, 'b'));
    ui().openFilesAnswers.push_back({Q(dir_->path() / "a.img")});
    click(3324);
    QCOMPARE(list(3303)->rowCount(), 1);
    QCOMPARE(list(3303)->row(0).cells.value(2), QStringLiteral("a.img"));

    const auto drop = [this](int listId, const std::filesystem::path& file) {
      QWidget* viewport = FindControl<CheckListView>(page_.get(), listId)->viewport();
      QMimeData data;
      data.setUrls({QUrl::fromLocalFile(Q(file)), QUrl::fromLocalFile(Q(dir_->path() / "gone.img"))});
      QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &enter);
      QVERIFY(enter.isAccepted());
      QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(viewport, &dropped);
    };
    drop(3303, dir_->path() / "b.img");
    QCOMPARE(list(3303)->rowCount(), 2);
    QCOMPARE(list(3303)->row(1).cells, (QStringList{Q(dir_->path() / "b.img"), "", "b.img", "2.0 KB"}));
    const int disks = list(3302)->rowCount();
    drop(3302, dir_->path() / "a.img");
    QCOMPARE(list(3302)->rowCount(), disks + 1);
    menuAction(3302, overFirstRow(3302), 3315);
    list(3302)->setChecked(disks, true);
    menuAction(3302, overFirstRow(3302), 3316);
    QCOMPARE(list(3303)->rowCount(), 3);
    QCOMPARE(list(3303)->row(2).cells.value(0), Q(dir_->path() / "a.img"));
  }

  void mapsRecordsStripedOverThreeMembers() {
    const std::vector<std::string> images = StripedImages();
    addMembers(images);
    // Disk #1, whose node holds the middle member's image, as a fourth column.
    list(3302)->setChecked(0, false);
    menuAction(3302, overFirstRow(3302), 3316);

    ui().saveFileAnswers.push_back(Q(dir_->path() / "map.txt"));
    click(3307);
    QCOMPARE(FindControl<QLineEdit>(page_.get(), 3306)->text(), Q(dir_->path() / "map.txt"));
    setRange("2", "9");
    runToEnd();

    QCOMPARE(readLog(), Log(QStringLiteral("\t\t\t#1\t\r\n"
                                           "2:\txxxx\t\txxxx\t\txxxx\t\txxxx\t\t\r\n"
                                           "4:\t0\t\t1\t\t2\t\t1\t\t\r\n"
                                           "6:\t3\t\t4\t\t5\t\t4\t\t\r\n"
                                           "8:\t6\t\t7\t\t8\t\t7\t\t\r\n")));
    QCOMPARE(FindControl<QLabel>(page_.get(), 3312)->text(), QStringLiteral("MFT Numbers\uFF1A12 "));
    QCOMPARE(FindControl<QProgressBar>(page_.get(), 3311)->value(), 0);
    QVERIFY(ui().messages.empty());  // no message ends a run
  }

  void showsTheGeometryWhenTheRunEnds() {
    // A RAID 5 set of three members, handed over as the third, first and second.
    const ArrayShape shape{RaidLayout::Raid5LeftSymmetric, 3, 16, 0, 3000};
    const std::vector<std::string> images = StripeVolume(shape, MftVolume(shape.records));
    QStringList paths;
    for (size_t member : {2, 0, 1}) {
      const auto path = dir_->path() / ("member" + std::to_string(member) + ".img");
      WriteFile(path, images[member]);
      paths << Q(path);
    }
    ui().openFilesAnswers.push_back(paths);
    menuAction(3303, QPoint(5, 5), 3318);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("0", QString::number(images[0].size() / 512 - 1));
    runToEnd();

    auto* geometry = FindControl<QLabel>(page_.get(), 3313);
    const QString expected = QStringLiteral(
        "Geometry: RAID 5 left-symmetric, stripe 8 KiB (16 sectors), member order 2, 3, 1\n"
        "Explains 3008 of 3008 records (100%); next best: RAID 5 left-asymmetric, stripe 8 KiB (16 sectors), member "
        "order 1, 2, 3, start sector 16 (explains 2016)");
    QCOMPARE(geometry->text(), expected);
    QCOMPARE(QAccessible::queryAccessibleInterface(geometry)->text(QAccessible::Name), expected);
    QCOMPARE(FindControl<QLabel>(page_.get(), 3312)->text(), QStringLiteral("MFT Numbers\uFF1A3008 "));

    // Export volume writes the volume that geometry describes.
    auto* exportVolume = FindControl<QPushButton>(page_.get(), 3323);
    QVERIFY(exportVolume->isEnabled());
    std::string assembled;
    exportVolumeInto(assembled);
    const std::string volume = MftVolume(shape.records);
    QVERIFY(HoldsVolume(assembled, volume));
    QCOMPARE(FindControl<QLabel>(page_.get(), 3312)->text(),
             QStringLiteral("Volume: %1 of %1 bytes written").arg(assembled.size()));

    // A run that finds too little says so, in place of the answer before.
    setRange("0", "9");
    runToEnd();
    QCOMPARE(geometry->text(), QStringLiteral("Geometry: not enough records (10 found)"));
    QVERIFY(!exportVolume->isEnabled());

    // The geometry chosen by hand exports all the same: a stripe that does not parse is refused
    // before any file is asked for, the right one writes the volume.
    auto* layout = FindControl<QComboBox>(page_.get(), 3325);
    layout->setCurrentText(QStringLiteral("raid5-left-symmetric"));
    QVERIFY(exportVolume->isEnabled());
    FindControl<QLineEdit>(page_.get(), 3326)->setText(QStringLiteral("8 KiB"));
    FindControl<QLineEdit>(page_.get(), 3327)->setText(QStringLiteral("2,3,1"));
    std::filesystem::remove(dir_->path() / "volume.img");
    const size_t messages = ui().messages.size();
    click(3323);
    QCOMPARE(ui().messages.size(), messages + 1);
    QCOMPARE(ui().lastText(), QStringLiteral("Parameter setting error, please reset"));
    QVERIFY(!std::filesystem::exists(dir_->path() / "volume.img"));
    FindControl<QLineEdit>(page_.get(), 3326)->setText(QStringLiteral("8K"));
    std::string byHand;
    exportVolumeInto(byHand);
    QVERIFY(HoldsVolume(byHand, volume));
  }

  // A member marked missing through the list's menu is rebuilt from the others, in the analysis
  // and in the exported volume, as "missing" is on the command line.
  void aMemberMarkedMissingIsRebuilt() {
    const ArrayShape shape{RaidLayout::Raid5LeftSymmetric, 3, 16, 0, 3000};
    const std::vector<std::string> images = StripeVolume(shape, MftVolume(shape.records));
    QStringList paths;
    for (size_t member : {2, 0}) {
      const auto path = dir_->path() / ("member" + std::to_string(member) + ".img");
      WriteFile(path, images[member]);
      paths << Q(path);
    }
    ui().openFilesAnswers.push_back(paths);
    menuAction(3303, QPoint(5, 5), 3318);
    menuAction(3303, QPoint(5, 5), 3330);  // the third in the list, the array's second member
    QCOMPARE(list(3303)->row(2).cells.value(0), QStringLiteral("missing"));
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("0", QString::number(images[0].size() / 512 - 1));
    runToEnd();
    QVERIFY(FindControl<QLabel>(page_.get(), 3313)->text().startsWith(
        QStringLiteral("Geometry: RAID 5 left-symmetric, stripe 8 KiB (16 sectors), member order 2, 3, 1")));

    std::string assembled;
    exportVolumeInto(assembled);
    QVERIFY(HoldsVolume(assembled, MftVolume(shape.records)));
  }

  // Plot opens the records of the last run drawn: each member's records in its colour where they
  // lie, white between them; the wheel zooms around the pointer, a drag moves the plane, and the
  // picture is exported as PNG or SVG, but never over a member.
  void plotDrawsTheRecordsAndExportsThem() {
    const ArrayShape shape{RaidLayout::Raid5LeftAsymmetric, 3, 16, 0, 3000};
    const std::vector<std::string> images = StripeVolume(shape, MftVolume(shape.records));
    addMembers(images);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    auto* plotButton = FindControl<QPushButton>(page_.get(), 3319);
    QVERIFY(!plotButton->isEnabled());  // nothing to draw before a run
    setRange("0", QString::number(images[0].size() / 512 - 1));
    runToEnd();
    QVERIFY(plotButton->isEnabled());
    click(3319);
    QWidget* window = page_->plotWindow();
    QVERIFY(window != nullptr && window->isVisible());
    auto* view = FindControl<RaidPlotView>(window, 3322);
    QVERIFY(view != nullptr);
    QVERIFY(!view->accessibleDescription().isEmpty());

    // The first row holds records 0..7 on member 1 and 8..15 on member 2 (member 3 has its
    // parity), the second row 16..23 on member 1 and 24..31 on member 3, from sector 16.
    view->setBounds({-4, 34, -2, 34});
    const QImage image = view->grab().toImage();
    const auto colourAt = [&](double sector, double record) {
      const QPointF at = view->toPixel(sector, record) * view->devicePixelRatioF();
      return image.pixelColor(at.toPoint());
    };
    QCOMPARE(colourAt(0, 0), MemberColour(0));
    QCOMPARE(colourAt(4, 2), MemberColour(0));
    QCOMPARE(colourAt(2, 9), MemberColour(1));
    QCOMPARE(colourAt(22, 27), MemberColour(2));
    QCOMPARE(colourAt(10, 30), QColor(Qt::white));

    // The wheel zooms in around the pointer; a drag moves the plane as far as the pointer went.
    const QPointF centre = view->toPixel(8, 16);
    QWheelEvent wheel(centre, view->mapToGlobal(centre), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    const RaidPlotBounds zoomed = view->bounds();
    QVERIFY(zoomed.sectorTo - zoomed.sectorFrom < 38 * 0.85);
    QCOMPARE(view->toPixel(8, 16), centre);
    const QPointF from = view->toPixel(8, 16);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, from.toPoint());
    QMouseEvent move(QEvent::MouseMove, from + QPointF(50, 0), view->mapToGlobal(from + QPointF(50, 0)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, (from + QPointF(50, 0)).toPoint());
    QVERIFY(std::abs(view->toPixel(8, 16).x() - (from.x() + 50)) < 1);
    QTest::mouseDClick(view, Qt::LeftButton);
    QVERIFY(view->bounds().sectorTo - view->bounds().sectorFrom > 100);  // whole again

    const auto exportTo = [&](const std::filesystem::path& path) {
      ui().saveFileAnswers.push_back(Q(path));
      QTest::mouseClick(FindControl<QPushButton>(window, 3321), Qt::LeftButton);
      return ReadFile(path);
    };
    QVERIFY(exportTo(dir_->path() / "plot.png").starts_with("\x89PNG"));
    const std::string svg = exportTo(dir_->path() / "plot.svg");
    QVERIFY(svg.find("<svg") != std::string::npos);
    QVERIFY(exportTo(dir_->path() / "member0.img") == images[0]);
    QCOMPARE(ui().lastText(), QStringLiteral("Failed to create file"));
    // Nor over the log the run wrote, under its name or a hard link of it.
    const std::string log = ReadFile(dir_->path() / "map.txt");
    std::filesystem::create_hard_link(dir_->path() / "map.txt", dir_->path() / "map.svg");
    QVERIFY(exportTo(dir_->path() / "map.txt") == log);
    QVERIFY(exportTo(dir_->path() / "map.svg") == log);
    QCOMPARE(ui().lastText(), QStringLiteral("Failed to create file"));

    // A run that finds nothing leaves nothing to draw: no plot of an earlier run stays on show.
    setRange("1", "9");
    runToEnd();
    QVERIFY(!plotButton->isEnabled());
    QVERIFY(!window->isVisible());
  }

  void memberThatDoesNotOpenIsNamed() {
    const auto path = dir_->path() / "a.img";
    WriteFile(path, std::string(4096, '\0'));
    ui().openFilesAnswers.push_back({Q(path)});
    menuAction(3303, QPoint(5, 5), 3318);
    std::filesystem::remove(path);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("0", "3");
    runToEnd();
    QCOMPARE(ui().lastText(), QStringLiteral("Access:") + Q(path));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    QCOMPARE(readLog(), QByteArray("\xFF\xFE", 2));
  }

  void memberGivenTwiceIsRefusedBeforeTheLog() {
    const auto path = dir_->path() / "a.img";
    WriteFile(path, std::string(4096, '\x11'));
    ui().openFilesAnswers.push_back({Q(path), Q(path)});
    menuAction(3303, QPoint(5, 5), 3318);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("0", "3");
    runToEnd();
    QCOMPARE(ui().lastText(), QStringLiteral("Member given twice:%1, %1").arg(Q(path)));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    QVERIFY(!std::filesystem::exists(dir_->path() / "map.txt"));
  }

  void logThatIsAMemberIsNotCreated() {
    const auto path = dir_->path() / "a.img";
    const std::string image(4096, '\x11');
    WriteFile(path, image);
    ui().openFilesAnswers.push_back({Q(path)});
    menuAction(3303, QPoint(5, 5), 3318);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(path));
    setRange("0", "3");
    runToEnd();
    QCOMPARE(ui().lastText(), QStringLiteral("Failed to create file"));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    QCOMPARE(ReadFile(path), image);
  }

  void secondOkIsRefusedAndStopEndsTheRun() {
    // A sparse member long enough that the run is still going when Stop arrives.
    const auto path = dir_->path() / "big.img";
    WriteFile(path, "");
    std::filesystem::resize_file(path, int64_t{64} << 30);
    ui().openFilesAnswers.push_back({Q(path)});
    menuAction(3303, QPoint(5, 5), 3318);
    FindControl<QLineEdit>(page_.get(), 3306)->setText(Q(dir_->path() / "map.txt"));
    setRange("0", QString::number((int64_t{64} << 30) / 512));
    click(3304);
    QVERIFY(page_->isRunning());
    click(3304);
    QCOMPARE(ui().lastText(), QStringLiteral("Please wait for other tasks to completed"));
    click(3305);
    QTRY_VERIFY(!page_->isRunning());
    const QByteArray log = readLog();
    QVERIFY(log.startsWith(Log(QStringLiteral("\t\r\n0:\txxxx\t\t\r\n"))));
    QVERIFY(log.size() < 64 * 1024 * 1024);  // far from the 64 Mi positions of the whole range
  }
};

QTEST_MAIN(RaidPageTest)
#include "RaidPageTest.moc"

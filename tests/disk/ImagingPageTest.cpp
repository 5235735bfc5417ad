#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QHelpEvent>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QToolTip>
#include <QUrl>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <filesystem>
#include <thread>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "disk/page/CUbimgDlg.h"
#include "disk/page/RescueMapView.h"
#include "tests/disk/FakeDiskTree.h"
#include "tests/disk/SimulatedScsi.h"
#include "tests/support/OtherUser.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

// Sectors whose bytes tell where they are.
std::string Sectors(int count, int sectorSize) {
  std::string bytes(static_cast<size_t>(count) * sectorSize, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / sectorSize * 7 + i % sectorSize);
  return bytes;
}

// The colour the map view shows in the middle of cell `index`.
QColor ShownColor(RescueMapView* view, size_t index) {
  const QImage image = view->grab().toImage();
  return image.pixelColor(view->cellRect(index).center());
}

// WCAG relative luminance.
double Luminance(const QColor& c) {
  auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

std::string FirstBytesOfEach(const std::string& bytes, int sectorSize, int keep) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += static_cast<size_t>(sectorSize)) out += bytes.substr(at, keep);
  return out;
}

}  // namespace

class ImagingPageTest : public QObject {
  Q_OBJECT

  // One standard disk (sda), a 520-byte SCSI disk (sdb at 2:0:4:0) and a SCSI disk too large for
  // READ CAPACITY(10) (2:0:5:0), on a fake sysfs with a simulated bus.
  struct Machine {
    TempDir files;
    FakeDiskTree tree;
    SimulatedBus bus;
    FakeScsiClock clock;
    std::string disk520 = Sectors(300, 520);
    TestPageHost host{files / "tmp"};
    std::unique_ptr<CUbimgDlg> page;

    Machine() {
      FakeDisk standard;
      standard.name = "sda";
      standard.sizeUnits = 64;
      standard.scsiAddress = "0:0:1:0";
      standard.serial = "WD-1";
      tree.add(standard, Sectors(64, 512));
      FakeDisk nonStandard;
      nonStandard.name = "sdb";
      nonStandard.sizeUnits = 300 * 520 / 512;
      nonStandard.logicalBlockSize = 520;
      nonStandard.scsiAddress = "2:0:4:0";
      nonStandard.serial = "SIM 520";
      tree.add(nonStandard);
      const auto sys = tree.sysfsRoot();
      AddFakeSysfsHost(sys, 2, 7);
      AddFakeSysfsDisk(sys, 2, 0, 4, 0, "sg1", "sdb", "8:16");
      AddFakeSysfsDisk(sys, 2, 0, 5, 0, "sg2");
      WriteFile(files / "disk520.bin", disk520);
      bus.addDisk({2, 4, 0}, SimulatedDisk{.backingFile = files / "disk520.bin"});
      bus.addDisk({2, 5, 0}, SimulatedDisk{.backingFile = files / "disk520.bin", .product = "HUGE",
                                           .reportedLastBlock = 0xFFFFFFFF});
      WriteFile(files / "mountinfo", "");
      page = std::make_unique<CUbimgDlg>(host);
      ImagingDeviceSources sources;
      sources.system.sysfsRoot = sys;
      sources.system.devRoot = tree.devRoot();
      sources.system.mountInfo = files / "mountinfo";
      sources.makeTransport = [this, sys] {
        return std::make_shared<SysfsSimulatedTransport>(bus, sys, tree.devRoot());
      };
      sources.clock = &clock;
      page->setDeviceSources(sources);
    }

    RecordingUi& ui() { return host.recorder(); }
    QLineEdit* edit(int id) { return FindControl<QLineEdit>(page.get(), id); }
    void press(int id) { QTest::mouseClick(FindControl<QPushButton>(page.get(), id), Qt::LeftButton); }
    void select(int listId, int row) {
      auto* view = FindControl<CheckListView>(page.get(), listId);
      view->setCurrentIndex(view->model()->index(row, 0));
    }
    QStringList lastMessage() const {
      const CheckListModel* m = page->messageList();
      return m->rowCount() == 0 ? QStringList() : m->row(m->rowCount() - 1).cells;
    }
    bool sawMessage(const QString& title, const QString& description) const {
      for (int i = 0; i < page->messageList()->rowCount(); ++i)
        if (page->messageList()->row(i).cells == QStringList{title, description}) return true;
      return false;
    }
    void refresh() {
      press(2008);
      QTRY_VERIFY(!page->isRunning() && sawMessage("刷新设备", "枚举设备完成"));
    }
    int findRow(const CheckListModel* model, int column, const QString& text) const {
      for (int i = 0; i < model->rowCount(); ++i)
        if (model->row(i).cells[column] == text) return i;
      return -1;
    }
  };

 private slots:
  void refreshListsStandardAndNonStandardDisks() {
    Machine m;
    QCOMPARE(m.page->sourceList()->columnCount(), 5);
    QCOMPARE(m.page->sourceList()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Size"));
    // Other pages' jobs resolve relative names against the working folder: Refresh leaves it be.
    const std::filesystem::path workingFolder = std::filesystem::current_path();
    m.refresh();
    QCOMPARE(std::filesystem::current_path(), workingFolder);
    QCOMPARE(m.page->messageList()->row(0).cells, (QStringList{"刷新设备", "正在枚举设备中..."}));
    const CheckListModel* source = m.page->sourceList();
    QCOMPARE(source->rowCount(), 3);
    QCOMPARE(source->row(0).cells[1], QStringLiteral("#0"));
    QCOMPARE(source->row(0).cells[2], QStringLiteral("标准"));
    QCOMPARE(source->row(0).cells[3], QStringLiteral("WD-1"));
    QCOMPARE(source->row(0).cells[4], QStringLiteral("64"));
    QCOMPARE(source->row(1).cells,
             (QStringList{"SEAGATE ST3300657SS", "2#4#0", "非标", "SIM520", "300"}));
    QCOMPARE(source->row(2).cells[0], QStringLiteral("SEAGATE HUGE"));
    QCOMPARE(source->row(2).cells[4], QStringLiteral("0"));  // last block 0xFFFFFFFF
    QCOMPARE(m.page->targetList()->rowCount(), 1);  // standard disks only
    QCOMPARE(m.page->targetList()->row(0).cells, source->row(0).cells);

    // A row change fills the Tips key and the parameters.
    m.select(2003, 1);
    QCOMPARE(m.edit(1081)->text(), QStringLiteral("[2#4#0] [SEAGATE ST3300657SS] [SIM520] [300]"));
    QCOMPARE(m.edit(1086)->text(), QStringLiteral("0"));
    QCOMPARE(m.edit(1080)->text(), QStringLiteral("300"));
    QCOMPARE(m.edit(1087)->text(), QStringLiteral("520"));
    m.select(2006, 0);
    QCOMPARE(m.edit(1092)->text(), QStringLiteral("512"));
    QCOMPARE(m.edit(1088)->text(), QStringLiteral("64"));
  }

  void refreshNamesTheDisksTheUserMayNotOpen() {
    Machine m;
    ::chmod(m.tree.sysfsRoot().parent_path().c_str(), 0755);
    ::chmod((m.tree.devRoot() / "sda").c_str(), 0600);
    ::chmod((m.tree.devRoot() / "sdb").c_str(), 0666);
    {
      OtherUser nobody;
      if (!nobody.active()) QSKIP("needs root to refresh as the user nobody");
      m.refresh();
    }
    const QString sda = PathToQString(m.tree.devRoot() / "sda");
    QVERIFY(m.sawMessage("权限", "无权读写磁盘 " + sda +
                                     "：将用户加入 disk 组后重新登录，或通过 pkexec 启动本程序 (brenvik --admin)"));
    QCOMPARE(m.page->targetList()->rowCount(), 0);  // the standard disk is named above instead of listed

    // Root may open every disk: nothing to say.
    m.page->messageList()->clear();
    m.refresh();
    for (int i = 0; i < m.page->messageList()->rowCount(); ++i)
      QVERIFY(m.page->messageList()->row(i).cells.value(0) != QStringLiteral("权限"));
  }

  void imageFilesAreAddedAndRemoved() {
    Machine m;
    m.refresh();
    WriteFile(m.files / "small.img", std::string(1000, 'x'));
    m.ui().openFileAnswers.push_back(PathToQString(m.files / "small.img"));
    m.page->sourceMenu()->findChild<QAction*>("2010")->trigger();
    const CheckListModel* source = m.page->sourceList();
    QCOMPARE(source->rowCount(), 4);
    QCOMPARE(source->row(3).cells,
             (QStringList{PathToQString(m.files / "small.img"), "", "镜像", "small.img", "1"}));
    m.ui().openFileAnswers.push_back(PathToQString(m.files / "missing.img"));
    m.page->sourceMenu()->findChild<QAction*>("2010")->trigger();
    QCOMPARE(source->rowCount(), 4);

    m.select(2003, 0);
    m.page->sourceMenu()->findChild<QAction*>("2011")->trigger();  // a disk row is never removed
    QCOMPARE(source->rowCount(), 4);
    m.select(2003, 3);
    QCOMPARE(m.edit(1087)->text(), QStringLiteral("520"));
    m.page->sourceMenu()->findChild<QAction*>("2011")->trigger();
    QCOMPARE(source->rowCount(), 3);
  }

  void copiesTheScsiDiskToAnImageFileThroughThePage() {
    Machine m;
    m.refresh();
    m.select(2003, m.findRow(m.page->sourceList(), 2, "非标"));
    auto* targetFile = FindControl<QCheckBox>(m.page.get(), 1082);
    QVERIFY(!m.edit(1083)->isEnabled());
    targetFile->setChecked(true);
    QVERIFY(m.edit(1083)->isEnabled());
    QCOMPARE(m.edit(1088)->text(), QStringLiteral("300"));
    QCOMPARE(m.edit(1092)->text(), QStringLiteral("512"));
    m.ui().saveFileAnswers.push_back(PathToQString(m.files / "out.img"));
    m.press(1084);
    QCOMPARE(m.edit(1083)->text(), PathToQString(m.files / "out.img"));

    // Block 7 cannot be read: it alone is fill, and the retry pass (Retries 1 by default) reports.
    m.bus.disks[SimulatedBus::key({2, 4, 0})].badBlocks = {7};
    QCOMPARE(m.edit(1097)->accessibleName(), QStringLiteral("Retries:"));
    QCOMPARE(m.edit(1097)->text(), QStringLiteral("1"));
    m.press(2012);  // the map window follows the copy
    RescueMapWindow* window = m.page->mapWindow();
    QVERIFY(window->isVisible() && window->followsCopy());
    m.press(2004);
    QTRY_VERIFY(!m.page->isRunning() && m.sawMessage("镜像", "镜像完成"));
    QTRY_VERIFY(window->view()->map() != nullptr && !window->view()->map()->reading);
    QCOMPARE(window->view()->cells().cells.size(), size_t{300});  // room for one sector a cell
    QCOMPARE(ShownColor(window->view(), 7), CellColor(CellState::Bad));
    for (size_t cell : {0, 6, 8, 299}) QCOMPARE(ShownColor(window->view(), cell), CellColor(CellState::Finished));
    QVERIFY(window->totals()->text().replace(QChar(0xA0), ' ').startsWith("Finished: 151.8 KB (99.67%)  Bad: 520.0 Bytes (0.33%)"));
    QVERIFY(m.sawMessage("镜像", "正在镜像..."));
    QVERIFY(m.sawMessage("读取", "读取位置3640错误"));
    QVERIFY(m.sawMessage("重试", "重试用时0秒，恢复0个扇区，仍有1个坏扇区"));
    QCOMPARE(m.edit(1094)->text(), QStringLiteral("300"));
    QCOMPARE(FindControl<QProgressBar>(m.page.get(), 2007)->value(), 0);
    std::string expected = FirstBytesOfEach(m.disk520, 520, 512);
    expected.replace(7 * 512, 512, std::string(512, '\xBB'));
    QVERIFY(ReadFile(m.files / "out.img") == expected);

    // Ok again goes on from the map: nothing but the bad block is left, and with Retries 0 not
    // even that is read; only a sample of finished blocks is read again, to tell it is the same disk.
    m.bus.commands.clear();
    m.edit(1097)->setText("0");
    const int rowsBefore = m.page->messageList()->rowCount();
    m.press(2004);
    QTRY_VERIFY(!m.page->isRunning() && m.lastMessage() == QStringList({"镜像", "镜像完成"}) &&
                m.page->messageList()->rowCount() > rowsBefore);
    QVERIFY(m.sawMessage("映射", "按映射文件继续，从扇区7开始"));
    int sampled = 0;
    for (const auto& cdb : m.bus.commands) {
      if (cdb[0] != 0x28) continue;
      ++sampled;
      QCOMPARE((cdb[7] << 8) | cdb[8], 1);
      QVERIFY(((cdb[2] << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5]) != 7);
    }
    QCOMPARE(sampled, 16);
    QVERIFY(ReadFile(m.files / "out.img") == expected);
  }

  void copiesAnImageFileAndRefusesItsOwnSourceAsTarget() {
    Machine m;
    m.refresh();
    const std::string image = Sectors(40, 520);
    WriteFile(m.files / "source.img", image);
    m.ui().openFileAnswers.push_back(PathToQString(m.files / "source.img"));
    m.page->sourceMenu()->findChild<QAction*>("2010")->trigger();
    m.select(2003, m.findRow(m.page->sourceList(), 2, "镜像"));
    QCOMPARE(m.edit(1080)->text(), QStringLiteral("40"));  // 40 x 520 / 512
    FindControl<QCheckBox>(m.page.get(), 1082)->setChecked(true);
    m.edit(1080)->setText("39");
    m.edit(1083)->setText(PathToQString(m.files / "copy.img"));
    m.press(2004);
    QTRY_VERIFY(!m.page->isRunning() && m.sawMessage("镜像", "镜像完成"));
    QCOMPARE(m.edit(1088)->text(), QStringLiteral("39"));  // Ok shows the count as the file's size
    QVERIFY(ReadFile(m.files / "copy.img") == FirstBytesOfEach(image.substr(0, 39 * 520), 520, 512));

    m.edit(1083)->setText(PathToQString(m.files / "source.img"));
    m.press(2004);
    QTRY_VERIFY(!m.page->isRunning() && m.sawMessage("镜像", "镜像中断"));
    QVERIFY(m.sawMessage("错误", "打开目标设备错误"));
    QVERIFY(ReadFile(m.files / "source.img") == image);
  }

  void busyRefusalsAndStopDuringAScsiCopy() {
    Machine m;
    m.refresh();
    std::atomic<bool> release{false};
    std::atomic<int> reads{0};
    m.bus.beforeCommand = [&](std::span<const uint8_t> cdb) {
      if (cdb[0] != 0x28) return;
      ++reads;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    m.select(2003, m.findRow(m.page->sourceList(), 1, "2#4#0"));
    FindControl<QCheckBox>(m.page.get(), 1082)->setChecked(true);
    m.edit(1083)->setText(PathToQString(m.files / "stopped.img"));
    m.press(2004);
    QTRY_COMPARE(reads.load(), 1);
    QVERIFY(m.page->isRunning());

    m.press(2008);  // Refresh while busy: the one message box of the page
    QCOMPARE(m.ui().messages.size(), size_t{1});
    QCOMPARE(m.ui().messages[0].text, QStringLiteral("请等待其他任务完成..."));
    QCOMPARE(m.ui().messages[0].caption, QStringLiteral("警告"));
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"警告", "请等待其他线程任务完成"}));

    m.press(2005);
    release = true;
    QTRY_VERIFY(!m.page->isRunning() && m.sawMessage("镜像", "镜像完成"));
    QCOMPARE(reads.load(), 1);  // the block under way is finished, no further block is read
    QCOMPARE(ReadFile(m.files / "stopped.img").size(), size_t{128 * 512});
    QCOMPARE(m.page->sourceList()->rowCount(), 3);  // the refused Refresh changed nothing
  }

  void mapWindowShowsMapFilesOpenedOrDroppedWithHoverTextsAndTotals() {
    Machine m;
    // A map as GNU ddrescue writes it, 32 sectors: finished, one bad, not tried, non-scraped.
    const std::filesystem::path map = m.files / "disk.map";
    WriteFile(map,
              "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
              "0x00003000     /               5\n#      pos        size  status\n0x00000000  0x00002000  +\n"
              "0x00002000  0x00000200  -\n0x00002200  0x00000E00  ?\n0x00003000  0x00001000  /\n");
    m.press(2012);
    RescueMapWindow* window = m.page->mapWindow();
    QVERIFY(window->isVisible());
    RescueMapView* view = window->view();
    m.ui().openFileAnswers.push_back(PathToQString(map));
    window->findChild<QAction*>("2015")->trigger();  // File > Open Map
    QVERIFY(!window->followsCopy());
    QVERIFY(window->windowTitle().endsWith("disk.map"));
    QCOMPARE(view->cells().cells.size(), size_t{32});
    const std::pair<size_t, CellState> expected[] = {{0, CellState::Finished}, {15, CellState::Finished},
                                                     {16, CellState::Bad}, {17, CellState::NotTried},
                                                     {23, CellState::NotTried}, {24, CellState::NonScraped}};
    for (const auto& [cell, state] : expected) QCOMPARE(ShownColor(view, cell), CellColor(state));

    // Hovering names the cell; the view reads as its totals, which the window also shows.
    QHelpEvent hover(QEvent::ToolTip, view->cellRect(16).center(), view->mapToGlobal(view->cellRect(16).center()));
    QApplication::sendEvent(view, &hover);
    QCOMPARE(QToolTip::text(), QStringLiteral("Sectors 16 - 16: Bad"));
    const QString totals =
        "Finished: 8.0 KB (50.00%)  Bad: 512.0 Bytes (3.12%)  Non-scraped: 4.0 KB (25.00%)  Not tried: 3.5 KB "
        "(21.88%)  Position: sector 24";
    QCOMPARE(view->accessibleDescription(), totals);
    QCOMPARE(window->totals()->text().replace(QChar(0xA0), ' '), totals);

    // The colours differ in lightness too: every two states at least 1.3 : 1 apart in contrast.
    for (int a = 0; a < kCellStateCount; ++a)
      for (int b = a + 1; b < kCellStateCount; ++b) {
        const double la = Luminance(CellColor(static_cast<CellState>(a)));
        const double lb = Luminance(CellColor(static_cast<CellState>(b)));
        QVERIFY2((std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05) >= 1.3, qPrintable(QString("%1 %2").arg(a).arg(b)));
      }

    // A file that is no map is named, and the map shown stays.
    WriteFile(m.files / "notes.map", "just some notes\n");
    m.page->openMap(PathToQString(m.files / "notes.map"));
    QCOMPARE(m.ui().lastText(), "Not a rescue map: " + PathToQString(m.files / "notes.map"));
    QCOMPARE(view->cells().cells.size(), size_t{32});

    // A map dropped on the page opens the same way.
    WriteFile(m.files / "other.map", "0x0 + 1\n0x0 0x400 -\n");
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(PathToQString(m.files / "other.map"))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    QApplication::sendEvent(m.page.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m.page.get(), &drop);
    QVERIFY(window->windowTitle().endsWith("other.map"));
    QCOMPARE(view->cells().cells, (std::vector<CellState>{CellState::Bad, CellState::Bad}));
  }

  void usedSpaceFirstAndADomainMapReachTheCopyAndTheMapWindowOutlinesTheDomain() {
    Machine m;
    m.refresh();
    const std::string image = Sectors(40, 512);
    WriteFile(m.files / "plain.img", image);
    m.ui().openFileAnswers.push_back(PathToQString(m.files / "plain.img"));
    m.page->sourceMenu()->findChild<QAction*>("2010")->trigger();
    m.select(2003, m.findRow(m.page->sourceList(), 2, "镜像"));
    m.edit(1087)->setText("512");
    FindControl<QCheckBox>(m.page.get(), 1082)->setChecked(true);
    m.edit(1083)->setText(PathToQString(m.files / "part.img"));
    // Sectors 10 to 19 of 40, as ddrescue marks a domain.
    WriteFile(m.files / "domain.map", "0x0 + 1\n0x0 0x1400 ?\n0x1400 0x1400 +\n0x2800 0x2800 ?\n");
    m.ui().openFileAnswers.push_back(PathToQString(m.files / "domain.map"));
    m.press(2013);
    QCOMPARE(m.edit(1100)->text(), PathToQString(m.files / "domain.map"));
    auto* usedFirst = FindControl<QCheckBox>(m.page.get(), 1098);
    QCOMPARE(usedFirst->accessibleName(), QStringLiteral("Used space first"));
    usedFirst->setChecked(true);
    m.press(2004);
    QTRY_VERIFY(!m.page->isRunning() && m.sawMessage("镜像", "镜像完成"));
    // Plain sectors hold no NTFS: the copy says so and takes the domain in order.
    QVERIFY(m.sawMessage("阶段", "未找到可识别的NTFS文件系统，按顺序复制整个磁盘"));
    const ParsedRescueMap map = ParseRescueMap(ReadFile(m.files / "part.img.map"));
    QCOMPARE(map.blocks, (std::vector<RescueMapBlock>{{0, 10 * 512, '?'}, {10 * 512, 10 * 512, '+'}, {20 * 512, 20 * 512, '?'}}));
    QVERIFY(ReadFile(m.files / "part.img").substr(10 * 512, 10 * 512) == image.substr(10 * 512, 10 * 512));

    m.press(2012);
    const MapCells& cells = m.page->mapWindow()->view()->cells();
    QCOMPARE(cells.inDomain.size(), size_t{40});
    for (size_t i = 0; i < 40; ++i) QCOMPARE(bool(cells.inDomain[i]), i >= 10 && i < 20);
  }

  void okValidatesInOrder() {
    Machine m;
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "请先刷新设备"}));
    m.refresh();
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "请选择源设备"}));
    m.select(2003, 0);
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "请选择目标设备"}));
    FindControl<QCheckBox>(m.page.get(), 1082)->setChecked(true);
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "请选择目标文件"}));
    m.edit(1083)->setText(PathToQString(m.files / "x.img"));
    m.edit(1087)->setText("511");
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "请正确填写扇区大小"}));
    FindControl<QCheckBox>(m.page.get(), 1082)->setChecked(false);
    m.select(2006, 0);
    m.edit(1087)->setText("512");
    m.edit(1088)->setText("63");
    m.press(2004);
    QCOMPARE(m.lastMessage(), (QStringList{"错误", "源设备镜像的大小 大于 目标设备大小"}));
    QVERIFY(!Exists(m.files / "x.img"));
    QVERIFY(m.ui().messages.empty());  // every refusal is a row, never a message box
  }
};

QTEST_MAIN(ImagingPageTest)
#include "ImagingPageTest.moc"

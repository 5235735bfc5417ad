#include "app/CBrenvikDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include <unistd.h>

#include "core/TemporaryFolder.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "app/CAboutDlg.h"
#include "app/CSetDlg.h"
#include "app/CUpdateDlg.h"
#include "dbrepair/page/CDataBaseDlg.h"
#include "disk/page/CUbimgDlg.h"
#include "extension/page/CChkDlg.h"
#include "invalid_files/page/CBadFileDlg.h"
#include "raid/page/CRaidDlg.h"
#include "rename/page/CDocumentDlg.h"

// The icon lives in a static library, whose resources must be registered by hand.
static void InitBrenvikResources() { Q_INIT_RESOURCE(resources); }

namespace brenvik {
namespace {

struct ToolButton {
  int id;
  const char* caption;
};

// The button row, left to right; the first six switch pages (in this order), the last opens Settings.
constexpr std::array<ToolButton, 7> kButtons{{{1000, "Invalid Files"},
                                              {1001, "Extension"},
                                              {1007, "N.S Image"},
                                              {1003, "Repair DB"},
                                              {1004, "Raid Analysis"},
                                              {1013, "File Rename"},
                                              {1008, "Setting"}}};

}  // namespace

CBrenvikDlg::CBrenvikDlg(std::unique_ptr<UiServices> ui, VersionSource versionSource, DiskIdentitySource disks)
    : ui_(ui ? std::move(ui) : std::make_unique<QtUiServices>()) {
  InitBrenvikResources();
  setWindowTitle(ToQString(kTitleText));
  setWindowIcon(QIcon(QStringLiteral(":/brenvik/brenvik.png")));
  setFixedSize(DluX(655), DluY(380));

  // Once, before the pages exist: the Raid Analysis page lists these disks when it is built.
  if (disks) diskInventory_ = disks();
  // The folder actually made for this run (a fresh private one when the default cannot be
  // trusted) is the one every tool uses and the one emptied on close.
  if (std::filesystem::path own = SettleTemporaryFolder(std::nullopt); !own.empty())
    settings_.temporaryFolder = std::move(own);

  buildControls();
  createPages();
  startUpdateCheck(std::move(versionSource));
}

CBrenvikDlg::~CBrenvikDlg() {
  for (ToolPage* p : pages_) p->stopAndWait();
  if (updateCheck_.joinable()) updateCheck_.join();
}

QString CBrenvikDlg::applicationName() const {
  return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void CBrenvikDlg::buildControls() {
  for (size_t i = 0; i < kButtons.size(); ++i) {
    const auto& b = kButtons[i];
    QPushButton* button =
        MakeButton(this, b.id, QString::fromLatin1(b.caption), DluRect(7 + 68 * static_cast<int>(i), 7, 59, 24));
    if (i < static_cast<size_t>(kPageCount)) {
      connect(button, &QPushButton::clicked, this, [this, i] { switchToPage(static_cast<int>(i)); });
    } else {
      connect(button, &QPushButton::clicked, this, &CBrenvikDlg::openSettings);
    }
  }
  QFrame* top = MakeEtchedLine(this, 1009, DluRect(6, 39, 634, 1));
  QFrame* bottom = MakeEtchedLine(this, 1010, DluRect(6, 366, 634, 1));
  MakeLabel(this, 0, QStringLiteral("Process:"), DluRect(404, 371, 34, 8));
  status_ = MakeStatusLine(this, 1012, QStringLiteral("Process"), QStringLiteral("Invalid Files"),
                           DluRect(439, 371, 49, 8));
  MakeLabel(this, 0, QStringLiteral("Version: ") + ToQString(kVersionText), DluRect(494, 371, 80, 8));

  const int topBottom = top->geometry().bottom() + 1;
  pageRect_ = QRect(0, topBottom + 5, width(), bottom->geometry().top() - topBottom - 10);

  auto* about = new QAction(Tr(QStringLiteral("&About Brenvik...")), this);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  about->setShortcutContext(Qt::WindowShortcut);
  connect(about, &QAction::triggered, this, &CBrenvikDlg::openAbout);
  addAction(about);
}

void CBrenvikDlg::createPages() {
  pages_ = {new CBadFileDlg(*this, this), new CChkDlg(*this, this),     new CUbimgDlg(*this, this),
            new CDataBaseDlg(*this, this), new CRaidDlg(*this, diskInventory_, this), new CDocumentDlg(*this, this)};
  for (ToolPage* p : pages_) {
    p->setGeometry(pageRect_);
    p->setVisible(p == pages_[0]);
  }
}

ToolPage* CBrenvikDlg::currentPage() const {
  for (ToolPage* p : pages_)
    if (!p->isHidden()) return p;
  return nullptr;
}

QString CBrenvikDlg::statusText() const { return status_->text(); }

void CBrenvikDlg::switchToPage(int index) {
  if (index < 0 || index >= kPageCount) return;
  ToolPage* chosen = pages_[static_cast<size_t>(index)];
  chosen->show();
  for (ToolPage* p : pages_)
    if (p != chosen) p->hide();
  status_->setText(Tr(chosen->toolName()));
}

void CBrenvikDlg::openSettings() {
  CSetDlg dialog(settings_, *ui_, applicationName(), this);
  dialog.exec();
}

void CBrenvikDlg::openAbout() {
  CAboutDlg dialog(this);
  dialog.exec();
}

void CBrenvikDlg::startUpdateCheck(VersionSource source) {
  if (!source) return;
  updateCheck_ = std::thread([this, source = std::move(source)] {
    const std::optional<int> latest = NewerVersion(source);
    if (!latest) return;
    // The dialog has no owner and stays above other windows; the main window stays usable.
    QMetaObject::invokeMethod(
        this,
        [this, version = *latest] {
          auto* dialog = new CUpdateDlg(kVersionNumber, version, QString());
          dialog->setAttribute(Qt::WA_DeleteOnClose);
          dialog->show();
          emit updateOffered(version);
        },
        Qt::QueuedConnection);
  });
}

void CBrenvikDlg::closeEvent(QCloseEvent* event) {
  // Running jobs are stopped and awaited before the temporary files go, so no worker writes
  // into a result file that is being removed or into a page that is being destroyed.
  for (ToolPage* p : pages_) p->stopAndWait();
  ClearTemporaryFolders();
  event->accept();
}

void CBrenvikDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addActions(actions());
  menu.exec(event->globalPos());
}

}  // namespace brenvik

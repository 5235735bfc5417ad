#pragma once
// The main window: the tool button row, the band in which exactly one tool page is visible, the
// status line naming the current tool, and the objects the pages share.
#include <QWidget>
#include <array>
#include <filesystem>
#include <memory>
#include <thread>

#include "core/AppSettings.h"
#include "core/Version.h"
#include "shell/PageHost.h"
#include "shell/ToolPage.h"
#include "disk/DiskInventory.h"

class QLabel;
class QPushButton;

namespace brenvik {

class CBrenvikDlg : public QWidget, public PageHost {
  Q_OBJECT
 public:
  // `ui` answers every message box and dialog (tests pass a recorder); `versionSource` is asked
  // for the latest version at start (none: no update check); `disks` gives the disks the Raid
  // Analysis page lists, asked once before the pages exist (none: no disks).
  explicit CBrenvikDlg(std::unique_ptr<UiServices> ui = nullptr, VersionSource versionSource = {},
                       DiskIdentitySource disks = {});
  ~CBrenvikDlg() override;

  // PageHost
  AppSettings& settings() override { return settings_; }
  UiServices& ui() override { return *ui_; }
  QString applicationName() const override;
  const DiskInventory& diskInventory() const { return diskInventory_; }

  static constexpr int kPageCount = 6;
  ToolPage* page(int index) const { return pages_[static_cast<size_t>(index)]; }
  ToolPage* currentPage() const;
  QString statusText() const;
  QRect pageRect() const { return pageRect_; }

  // Shows the page of the given index (order of the button row) and names it in the status line.
  void switchToPage(int index);
  void openSettings();
  void openAbout();

 signals:
  // Emitted on the GUI thread when the update check found a newer version (the dialog is shown).
  void updateOffered(int latestVersion);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void buildControls();
  void createPages();
  void startUpdateCheck(VersionSource source);

  AppSettings settings_;
  std::unique_ptr<UiServices> ui_;
  DiskInventory diskInventory_;
  std::array<ToolPage*, kPageCount> pages_{};
  QLabel* status_ = nullptr;
  QRect pageRect_;
  std::thread updateCheck_;
};

}  // namespace brenvik

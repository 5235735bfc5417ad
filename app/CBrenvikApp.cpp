#include "app/CBrenvikApp.h"

#include <QFile>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/CBrenvikDlg.h"
#include "core/Translation.h"

namespace brenvik {

CBrenvikApp::CBrenvikApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("brenvik"));
  setApplicationVersion(QStringLiteral("1.4.2"));
  setQuitOnLastWindowClosed(true);
}

void CBrenvikApp::ApplySkin(QApplication& app) {
  QFile skin(QStringLiteral("spring.qss"));
  if (skin.open(QIODevice::ReadOnly)) app.setStyleSheet(QString::fromUtf8(skin.readAll()));
}

void CBrenvikApp::InstallToolkitTranslation(QApplication& app) {
  // The toolkit's own texts (the buttons of message boxes and file dialogs) in the language of
  // the program's catalogue, where the system has the toolkit's translation installed.
  if (CatalogueName().empty()) return;
  auto* toolkit = new QTranslator(&app);
  if (toolkit->load(QStringLiteral("qtbase_") + QString::fromStdString(CatalogueName()),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    app.installTranslator(toolkit);
}

int CBrenvikApp::run() {
  ApplySkin(*this);
  InstallToolkitTranslation(*this);
  CBrenvikDlg window(nullptr, {}, ScanSystemDiskIdentities);
  window.show();
  return exec();
}

}  // namespace brenvik

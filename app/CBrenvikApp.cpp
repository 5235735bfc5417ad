#include "app/CBrenvikApp.h"

#include <QFile>

#include "app/CBrenvikDlg.h"

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

int CBrenvikApp::run() {
  ApplySkin(*this);
  CBrenvikDlg window(nullptr, {}, ScanSystemDiskIdentities);
  window.show();
  return exec();
}

}  // namespace brenvik

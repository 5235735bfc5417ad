#pragma once
#include <QApplication>

namespace brenvik {

// The application object: applies the skin, runs the main window until it closes.
class CBrenvikApp : public QApplication {
  Q_OBJECT
 public:
  CBrenvikApp(int& argc, char** argv);
  int run();

  // Applies "spring.qss" from the current directory when present; without it the system look.
  static void ApplySkin(QApplication& app);
  // Qt's own texts in the language of the catalogue in use.
  static void InstallToolkitTranslation(QApplication& app);
};

}  // namespace brenvik

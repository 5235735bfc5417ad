// Drives the real Invalid Files page (headless) through one Check of a tree and measures how long
// the GUI thread is ever kept from its event loop while the scan feeds the list, and the peak
// resident memory of the whole process. On a machine shared with other jobs the wall-clock gap
// also counts the time the GUI thread waits for a processor, so the processor time of the longest
// single event the GUI thread handled is reported too.
//
//   invalid_files_page_bench <root> list   one-time-load mode, every file listed (size range 0 to 1e15)
//   invalid_files_page_bench <root> cache  cache mode with the default criteria
//   invalid_files_page_bench <root> idle   no scan, 10 s of heartbeat: the machine's own scheduling gaps
#include <sys/resource.h>
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "shell/Controls.h"
#include "invalid_files/page/CBadFileDlg.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;

namespace {

double ThreadCpuMs() {
  timespec ts {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Keeps the processor time of the longest event delivered on the GUI thread.
class TimedApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    const double start = ThreadCpuMs();
    const bool result = QApplication::notify(receiver, event);
    longestEventCpuMs = std::max(longestEventCpuMs, ThreadCpuMs() - start);
    return result;
  }
  double longestEventCpuMs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <root> list|cache\n", argv[0]);
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TimedApplication app(argc, argv);
  const bool listMode = QString::fromLatin1(argv[2]) == QStringLiteral("list");
  const bool idle = QString::fromLatin1(argv[2]) == QStringLiteral("idle");
  testing::TempDir temporary;
  testing::TestPageHost host(temporary.path());
  host.settings().cacheMode = listMode ? kCacheModeList : kCacheModeFiles;
  CBadFileDlg page(host);
  page.show();
  FindControl<QLineEdit>(&page, 3801)->setText(QString::fromLocal8Bit(argv[1]));
  if (listMode) FindControl<QLineEdit>(&page, 3823)->setText(QStringLiteral("1000000000000000"));

  // A 5 ms heartbeat: any gap well beyond 5 ms is time the GUI thread could not answer.
  QElapsedTimer clock;
  qint64 last = 0, worstGap = 0;
  QTimer heartbeat;
  heartbeat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    worstGap = std::max(worstGap, now - last);
    last = now;
  });
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (idle ? clock.elapsed() > 10000 : !host.recorder().messages.empty() && !page.isRunning()) app.quit();
  });
  QTimer::singleShot(0, [&] {
    clock.start();
    heartbeat.start(5);
    watch.start(50);
    if (!idle) FindControl<QPushButton>(&page, 3804)->click();
  });
  app.exec();
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "%s mode: %d rows, %.1f s, longest GUI gap %lld ms wall (heartbeat 5 ms), longest GUI event %.1f ms processor, "
      "peak resident %ld KiB\n",
      idle ? "idle" : listMode ? "list" : "cache", page.results()->rowCount(), clock.elapsed() / 1000.0,
      static_cast<long long>(worstGap), app.longestEventCpuMs, usage.ru_maxrss);
  std::printf("last message: %s\n", qPrintable(host.recorder().lastText()));
  return 0;
}

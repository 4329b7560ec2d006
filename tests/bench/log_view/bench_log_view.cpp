// One million log lines from four threads into the log window, the way a busy
// guest writes them: each thread calls LogMsg 250,000 times while the
// window's thread drains. Timed from the first call to the moment the last
// line is in the window and the window has painted it:
//   bench_log_view [LINES_PER_THREAD]
// Prints "lines=N ms=T cpu_ms=C drains=D appends=A paints=P kept=K
// peak_rss_kb=R": the wall time and the processor time of all threads, the
// log-drain messages the window handled, the texts it was handed (one per
// drain that found lines), the repaints of its viewport, the lines it holds
// at the end (its limit bounds them) and the peak resident memory.
#include <QApplication>
#include <QEventLoop>
#include <QTextBlock>
#include <QTimer>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common_clock.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "ui/log_view.h"

namespace {

constexpr int kThreads = 4;

// Counts what the window does with the text it is handed.
class CountingLogView : public LogView {
 public:
  void AppendText(const std::string& text) override {
    ++appends;
    LogView::AppendText(text);
  }
  long appends = 0;
};

class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return QObject::eventFilter(watched, event);
  }
  long paints = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const long perThread = argc > 1 ? std::atol(argv[1]) : 250000;
  if (perThread <= 0) {
    std::fprintf(stderr, "usage: bench_log_view [LINES_PER_THREAD]\n");
    return 2;
  }
  QApplication app(argc, argv);
  CVN32TestView view;
  CountingLogView log;
  log.Attach(&view);
  SetLogView(&view);
  if (!AttachLogSink()) {
    std::fprintf(stderr, "bench_log_view: the log sink could not be attached\n");
    return 1;
  }
  log.resize(1000, 700);
  log.show();
  PaintCounter painted;
  log.viewport()->installEventFilter(&painted);
  QApplication::processEvents();
  painted.paints = 0;

  const long total = perThread * kThreads;
  long drains = 0;
  QEventLoop loop;
  QObject::connect(&log, &LogView::Drained, [&] {
    ++drains;
    // Every line is in the window: the ones it holds and the ones its limit
    // has already let go (the trailing empty block is not a line).
    if (log.DroppedLines() + log.document()->blockCount() - 1 >= total) loop.quit();
  });

  std::vector<std::thread> writers;
  const double start = bench::NowMs();
  QTimer::singleShot(0, [&] {
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t, perThread] {
        for (long i = 0; i < perThread; ++i) LogMsg("** thread %d: line %ld of the log benchmark\n", t, i);
      });
    }
  });
  loop.exec();
  log.viewport()->repaint();
  const double ms = bench::NowMs() - start;
  for (std::thread& writer : writers) writer.join();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  std::printf("lines=%ld ms=%.1f cpu_ms=%.1f drains=%ld appends=%ld paints=%ld kept=%d peak_rss_kb=%ld\n", total, ms,
              cpuMs, drains, log.appends, painted.paints, log.document()->blockCount() - 1, usage.ru_maxrss);
  SetLogView(nullptr);
  log.Attach(nullptr);
  return 0;
}

// The round-trip chart of the running ping test: one bar per echo request,
// its height the round-trip time in milliseconds; requests that timed out
// are marked at the bottom in red. A dock that the View menu shows or hides;
// it refreshes while a ping test runs and once more when it ends.
#pragma once

#include <QDockWidget>

class CVN32TestEngineState;
class QTimer;

class PingChartDock : public QDockWidget {
  Q_OBJECT
 public:
  PingChartDock(QWidget* parent, CVN32TestEngineState& view);

  // Reads the ping list again and redraws.
  void Refresh();
  // Follows the run state: refreshes on a timer while a ping test runs.
  void SetPinging(bool pinging);
  // What is shown: round trips in ms (-1 for a request without a reply yet,
  // -2 for one that timed out).
  const QList<double>& Points() const { return m_points; }

 private:
  CVN32TestEngineState& m_view;
  class ChartHolder* m_pChart;
  QTimer* m_pTimer;
  QList<double> m_points;
};

#include "ui/ping_chart.h"

#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QScatterSeries>
#include <QTimer>
#include <QValueAxis>
#include <algorithm>

#include "shell/ping_round_trips.h"

// The chart and its two series.
class ChartHolder : public QChartView {
 public:
  // The view is made with its chart: a view made without one makes a chart of
  // its own, which a later setChart() lets go of without deleting.
  explicit ChartHolder(QWidget* parent) : QChartView(new QChart, parent) {
    setRenderHint(QPainter::Antialiasing);
    QChart* chart = this->chart();
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    replies = new QLineSeries(chart);
    replies->setName(QStringLiteral("Round trip (ms)"));
    replies->setPointsVisible(true);
    lost = new QScatterSeries(chart);
    lost->setName(QStringLiteral("No reply"));
    lost->setColor(QColor(0xc0, 0x20, 0x20));
    lost->setMarkerSize(9);
    chart->addSeries(replies);
    chart->addSeries(lost);
    x = new QValueAxis(chart);
    x->setTitleText(QStringLiteral("Echo request"));
    x->setLabelFormat(QStringLiteral("%d"));
    y = new QValueAxis(chart);
    y->setTitleText(QStringLiteral("ms"));
    y->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (QXYSeries* s : {static_cast<QXYSeries*>(replies), static_cast<QXYSeries*>(lost)}) {
      s->attachAxis(x);
      s->attachAxis(y);
    }
  }
  QLineSeries* replies;
  QScatterSeries* lost;
  QValueAxis* x;
  QValueAxis* y;
};

PingChartDock::PingChartDock(QWidget* parent, CVN32TestEngineState& view)
    : QDockWidget(QStringLiteral("Round-trip chart"), parent), m_view(view) {
  setObjectName(QStringLiteral("PingChartDock"));
  m_pChart = new ChartHolder(this);
  m_pChart->setMinimumSize(320, 200);
  setWidget(m_pChart);
  m_pTimer = new QTimer(this);
  m_pTimer->setInterval(250);
  connect(m_pTimer, &QTimer::timeout, this, &PingChartDock::Refresh);
  Refresh();
}

void PingChartDock::SetPinging(bool pinging) {
  if (pinging && !m_pTimer->isActive()) m_pTimer->start();
  if (!pinging && m_pTimer->isActive()) m_pTimer->stop();
  Refresh();
}

void PingChartDock::Refresh() {
  const std::vector<PingRoundTrip> trips = ReadPingRoundTrips(m_view);
  QList<QPointF> replied, lost;
  m_points.clear();
  double highest = 1;
  for (std::size_t i = 0; i < trips.size(); ++i) {
    const double n = static_cast<double>(i + 1);
    switch (trips[i].state) {
      case PingRoundTrip::State::kReplied:
        replied.append(QPointF(n, trips[i].milliseconds));
        highest = std::max(highest, static_cast<double>(trips[i].milliseconds));
        m_points.append(trips[i].milliseconds);
        break;
      case PingRoundTrip::State::kTimedOut:
        lost.append(QPointF(n, 0));
        m_points.append(-2);
        break;
      case PingRoundTrip::State::kWaiting:
        m_points.append(-1);
        break;
    }
  }
  m_pChart->replies->replace(replied);
  m_pChart->lost->replace(lost);
  // Half a request of room on both sides, so that no point sits on the frame.
  const int count = std::max<int>(1, static_cast<int>(trips.size()));
  m_pChart->x->setRange(0.5, count + 0.5);
  m_pChart->x->setTickType(QValueAxis::TicksDynamic);
  m_pChart->x->setTickAnchor(1);
  m_pChart->x->setTickInterval(std::max(1, count / 10));
  m_pChart->y->setRange(0, highest * 1.25);
  m_pChart->y->applyNiceNumbers();
}

// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-gallery: the sample widgets side by side in one window, wired to
// labels so what each one does can be seen. An optional argument names the
// folder the outline starts from.
#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "widgets/samples/calendar.h"
#include "widgets/samples/color_grid.h"
#include "widgets/samples/directory_outline.h"
#include "widgets/samples/performance_graph.h"
#include "widgets/samples/spin_button.h"
#include "widgets/samples/spin_edit.h"
#include "widgets/samples/timer_speed_button.h"

using namespace kelmora::widgets;

namespace {

// A titled box holding a widget and, below it, a label that reports on it.
QLabel* AddBox(QGridLayout* grid, int row, int column, const QString& title, QWidget* widget,
               int column_span = 1) {
  auto* box = new QGroupBox(title);
  auto* layout = new QVBoxLayout(box);
  layout->addWidget(widget, 1);
  auto* note = new QLabel;
  layout->addWidget(note);
  grid->addWidget(box, row, column, 1, column_span);
  return note;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("Kelmora widget gallery"));
  auto* grid = new QGridLayout(&window);

  auto* calendar = new TCCalendar;
  QLabel* date = AddBox(grid, 0, 0, QStringLiteral("TCCalendar"), calendar);
  const auto show_date = [=] { date->setText(calendar->Date().toString(Qt::ISODate)); };
  QObject::connect(calendar, &TCCalendar::DateChanged, show_date);
  show_date();

  auto* outline = new TCDirectoryOutline;
  outline->SetRootPath(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::homePath());
  outline->topLevelItem(0)->setExpanded(true);
  QLabel* folder = AddBox(grid, 0, 1, QStringLiteral("TCDirectoryOutline"), outline);
  QObject::connect(outline, &TCDirectoryOutline::CurrentPathChanged, folder, &QLabel::setText);

  auto* colours = new TCColorGrid;
  QLabel* chosen = AddBox(grid, 0, 2, QStringLiteral("TCColorGrid"), colours);
  const auto show_colours = [=] {
    chosen->setText(QStringLiteral("FG %1  BG %2")
                        .arg(colours->ForegroundColor().name(), colours->BackgroundColor().name()));
  };
  QObject::connect(colours, &TCColorGrid::ForegroundChanged, show_colours);
  QObject::connect(colours, &TCColorGrid::BackgroundChanged, show_colours);
  show_colours();

  auto* repeat = new TTimerSpeedButton;
  repeat->setText(QStringLiteral("Hold me"));
  QLabel* clicks = AddBox(grid, 1, 0, QStringLiteral("TTimerSpeedButton"), repeat);
  clicks->setText(QStringLiteral("0 clicks"));
  QObject::connect(repeat, &QAbstractButton::clicked, [clicks, count = 0]() mutable {
    clicks->setText(QStringLiteral("%1 clicks").arg(++count));
  });

  auto* spin = new TCSpinButton;
  spin->setFixedSize(20, 34);  // alone in its box it would stretch to the box's height
  QLabel* counter = AddBox(grid, 1, 1, QStringLiteral("TCSpinButton"), spin);
  counter->setText(QStringLiteral("0"));
  QObject::connect(spin, &TCSpinButton::UpClick,
                   [counter] { counter->setText(QString::number(counter->text().toInt() + 1)); });
  QObject::connect(spin, &TCSpinButton::DownClick,
                   [counter] { counter->setText(QString::number(counter->text().toInt() - 1)); });

  auto* edit = new TCSpinEdit;
  edit->SetMinValue(-50);
  edit->SetMaxValue(50);
  edit->SetIncrement(5);
  edit->SetValue(10);
  QLabel* value = AddBox(grid, 1, 2, QStringLiteral("TCSpinEdit"), edit);
  value->setText(QStringLiteral("-50 to 50, steps of 5"));

  auto* bars = new TPerformanceGraph;
  auto* line = new TPerformanceGraph;
  line->SetKind(TPerformanceGraph::gkLine);
  line->SetGraphColor(QColor(255, 255, 0));
  AddBox(grid, 2, 0, QStringLiteral("TPerformanceGraph (bars)"), bars)->hide();
  AddBox(grid, 2, 1, QStringLiteral("TPerformanceGraph (line)"), line, 2)->hide();
  // Fill the graphs at once so a still picture shows them, then keep them moving.
  int tick = 0;
  auto feed = [=]() mutable {
    ++tick;
    bars->AddValue(40 + 30 * std::sin(tick / 5.0) + (tick * 7919 % 13));
    line->AddValue(60 + 50 * std::sin(tick / 9.0));
  };
  for (int i = 0; i < 60; ++i) feed();
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, feed);
  timer.start(200);

  window.resize(760, 560);
  window.show();
  return app.exec();
}

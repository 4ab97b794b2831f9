// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/performance_graph.h"

#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <limits>

#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

using Values = std::vector<double>;

TEST(PerformanceGraph, KeepsTheLastValuesAndDropsTheOldest) {
  TPerformanceGraph graph;
  graph.SetCapacity(4);
  for (double v : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}) graph.AddValue(v);
  EXPECT_EQ(graph.Values(), (Values{3, 4, 5, 6}));
  graph.AddValue(-2);
  graph.AddValue(std::numeric_limits<double>::quiet_NaN());
  graph.AddValue(std::numeric_limits<double>::infinity());
  EXPECT_EQ(graph.Values(), (Values{4, 5, 6, 0})) << "negatives are zero, non-numbers dropped";
  graph.SetCapacity(2);
  EXPECT_EQ(graph.Values(), (Values{6, 0}));
  graph.SetCapacity(0);
  EXPECT_EQ(graph.Capacity(), 2);
  graph.SetCapacity(10);
  graph.AddValue(1);
  EXPECT_EQ(graph.Values(), (Values{6, 0, 1}));
}

TEST(PerformanceGraph, ScaleFollowsTheLargestValueOnShowUnlessFixed) {
  TPerformanceGraph graph;
  graph.SetCapacity(3);
  EXPECT_GT(graph.Scale(), 0) << "an empty graph still has a usable scale";
  graph.AddValue(0);
  EXPECT_GT(graph.Scale(), 0);
  graph.AddValue(730);
  const double peakScale = graph.Scale();
  EXPECT_GE(peakScale, 730);
  EXPECT_LE(peakScale, 1000);
  graph.AddValue(12);
  graph.AddValue(3);
  EXPECT_EQ(graph.Scale(), peakScale) << "the peak is still on show";
  graph.AddValue(8);  // the peak scrolls out
  EXPECT_GE(graph.Scale(), 12);
  EXPECT_LE(graph.Scale(), 20);

  graph.SetFixedMaximum(50);
  graph.AddValue(900);
  EXPECT_EQ(graph.Scale(), 50);
  graph.SetFixedMaximum(std::nan(""));
  EXPECT_GE(graph.Scale(), 900) << "an unusable maximum returns to following the values";
}

// The drawing follows the scale: a value at half the scale fills about half
// the height, and the same value fills all of it once the peak has gone.
TEST(PerformanceGraph, BarsAreRedrawnAgainstTheNewScale) {
  TPerformanceGraph graph;
  graph.SetShowGrid(false);
  graph.SetBackgroundColor(Qt::black);
  graph.SetGraphColor(Qt::white);
  graph.SetCapacity(2);
  graph.resize(40, 101);
  graph.AddValue(100);
  graph.AddValue(50);
  const auto filledRows = [&graph] {
    const QImage image = graph.grab().toImage();
    int rows = 0;
    for (int y = 0; y < image.height(); ++y) rows += image.pixelColor(30, y) == Qt::white;
    return rows;
  };
  EXPECT_NEAR(filledRows(), 50, 2);
  graph.AddValue(50);
  EXPECT_NEAR(filledRows(), 101, 1);
  graph.SetKind(TPerformanceGraph::gkLine);
  EXPECT_LT(filledRows(), 10) << "a line, not a bar";
}

}  // namespace
}  // namespace kelmora::widgets

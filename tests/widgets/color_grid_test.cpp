// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/color_grid.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

class ColorGridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    grid_.resize(160, 160);
    grid_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&grid_));
  }
  void Click(Qt::MouseButton Button, int Index) {
    QTest::mouseClick(&grid_, Button, {}, grid_.CellRect(Index).center());
  }

  TCColorGrid grid_;
  QSignalSpy foreground_{&grid_, &TCColorGrid::ForegroundChanged};
  QSignalSpy background_{&grid_, &TCColorGrid::BackgroundChanged};
};

TEST_F(ColorGridTest, LeftButtonPicksForegroundRightButtonBackground) {
  Click(Qt::LeftButton, 9);
  EXPECT_EQ(grid_.ForegroundIndex(), 9);
  EXPECT_EQ(grid_.ForegroundColor(), QColor(Qt::red));
  EXPECT_EQ(grid_.BackgroundIndex(), 15);
  Click(Qt::RightButton, 12);
  EXPECT_EQ(grid_.BackgroundIndex(), 12);
  EXPECT_EQ(grid_.BackgroundColor(), QColor(Qt::blue));
  EXPECT_EQ(grid_.ForegroundIndex(), 9);
  Click(Qt::MiddleButton, 3);
  Click(Qt::LeftButton, 9);  // the same choice again is no change
  EXPECT_EQ(grid_.ForegroundIndex(), 9);
  EXPECT_EQ(grid_.BackgroundIndex(), 12);
  ASSERT_EQ(foreground_.count(), 1);
  EXPECT_EQ(foreground_.at(0).at(0).toInt(), 9);
  ASSERT_EQ(background_.count(), 1);
  EXPECT_EQ(background_.at(0).at(0).toInt(), 12);
}

TEST_F(ColorGridTest, ArrowsMoveForegroundCtrlArrowsMoveBackgroundWithinTheGrid) {
  grid_.SetForegroundIndex(5);  // second row, second column
  QTest::keyClick(&grid_, Qt::Key_Right);
  QTest::keyClick(&grid_, Qt::Key_Down);
  EXPECT_EQ(grid_.ForegroundIndex(), 10);
  QTest::keyClick(&grid_, Qt::Key_Right);
  QTest::keyClick(&grid_, Qt::Key_Right);  // the edge holds; no wrap to the next row
  EXPECT_EQ(grid_.ForegroundIndex(), 11);
  QTest::keyClick(&grid_, Qt::Key_Up);
  EXPECT_EQ(grid_.ForegroundIndex(), 7);
  EXPECT_EQ(grid_.BackgroundIndex(), 15);

  QTest::keyClick(&grid_, Qt::Key_Down, Qt::ControlModifier);  // bottom row already
  QTest::keyClick(&grid_, Qt::Key_Left, Qt::ControlModifier);
  QTest::keyClick(&grid_, Qt::Key_Up, Qt::ControlModifier);
  EXPECT_EQ(grid_.BackgroundIndex(), 10);
  EXPECT_EQ(grid_.ForegroundIndex(), 7);
  for (int i = 0; i < 5; ++i) QTest::keyClick(&grid_, Qt::Key_Left, Qt::ControlModifier);
  EXPECT_EQ(grid_.BackgroundIndex(), 8);
  EXPECT_EQ(background_.count(), 4);
}

TEST_F(ColorGridTest, IndexesOutsideThePaletteAreRefused) {
  grid_.setProperty("ForegroundIndex", 16);
  grid_.SetForegroundIndex(-1);
  grid_.SetBackgroundIndex(16);
  EXPECT_EQ(grid_.ForegroundIndex(), 0);
  EXPECT_EQ(grid_.BackgroundIndex(), 15);
  EXPECT_FALSE(TCColorGrid::StandardColor(16).isValid());
  EXPECT_EQ(foreground_.count() + background_.count(), 0);
}

}  // namespace
}  // namespace kelmora::widgets

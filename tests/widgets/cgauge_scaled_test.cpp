// SPDX-License-Identifier: GPL-3.0-or-later
//
// The gauge on a display scaled by one and a half, as a desktop set to 150 %
// shows it: what reaches the screen is the picture drawn at that scale.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPixmap>
#include <memory>

#include "widgets/cgauge.h"

namespace kelmora::widgets {
namespace {

// The scale must be set before the application object exists.
class ScaledApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_SCALE_FACTOR", "1.5");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  static inline int argc_ = 1;
  static inline char name_[] = "kelmora-scaled-gauge-test";
  static inline char* argv_[] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

::testing::Environment* const kScaledApplication =
    ::testing::AddGlobalTestEnvironment(new ScaledApplication);

TEST(CGaugeScaled, TheScreenReceivesThePictureDrawnAtTheDisplaysScale) {
  TCGauge gauge;
  gauge.resize(433, 17);
  gauge.SetProgress(37);
  gauge.show();
  ASSERT_EQ(gauge.devicePixelRatioF(), 1.5);
  const QPixmap grabbed = gauge.grab();
  EXPECT_EQ(grabbed.devicePixelRatio(), 1.5);
  const QImage onScreen = grabbed.toImage().convertToFormat(QImage::Format_RGB32);
  const QImage expected = gauge.Render(1.5);
  ASSERT_EQ(onScreen.size(), expected.size());
  int differing = 0;
  for (int y = 0; y < expected.height(); ++y)
    for (int x = 0; x < expected.width(); ++x)
      differing += onScreen.pixel(x, y) != expected.pixel(x, y);
  EXPECT_EQ(differing, 0);
}

}  // namespace
}  // namespace kelmora::widgets

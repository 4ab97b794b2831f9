// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/cgauge.h"

#include <gtest/gtest.h>

#include <QPaintEvent>
#include <climits>

#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kGreen = qRgb(0, 128, 0);

// A gauge with distinct colours for the filled part, the field and the
// surroundings, so every region of a picture can be told apart.
void UseColours(TCGauge& Gauge) {
  Gauge.SetForeColor(QColor(kRed));
  Gauge.SetBackColor(QColor(kBlue));
  Gauge.SetColor(QColor(kGreen));
  Gauge.SetShowText(false);
}

// Gauge that counts the paints that actually reach the widget.
class CountingGauge : public TCGauge {
 public:
  int painted = 0;

 protected:
  void paintEvent(QPaintEvent* Event) override {
    ++painted;
    TCGauge::paintEvent(Event);
  }
};

TEST(CGauge, StartsWithTheDocumentedDefaults) {
  TCGauge gauge;
  EXPECT_EQ(gauge.size(), QSize(100, 100));
  EXPECT_TRUE(gauge.testAttribute(Qt::WA_OpaquePaintEvent));
  EXPECT_EQ(gauge.MinValue(), 0);
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 0);
  EXPECT_EQ(gauge.Kind(), gkHorizontalBar);
  EXPECT_TRUE(gauge.ShowText());
  EXPECT_EQ(gauge.BorderStyle(), bsSingle);
  EXPECT_EQ(gauge.ForeColor().rgb(), kBlack);
  EXPECT_EQ(gauge.BackColor().rgb(), kWhite);
}

TEST(CGauge, PercentIsTheWholeNumberBelowAndSurvivesExtremeLimits) {
  TCGauge gauge;
  gauge.SetMaxValue(3);
  gauge.SetProgress(2);
  EXPECT_EQ(gauge.GetPercentDone(), 66);

  gauge.SetMaxValue(INT_MAX);
  gauge.SetMinValue(INT_MIN + 1);
  gauge.SetProgress(0);
  EXPECT_EQ(gauge.GetPercentDone(), 50);
  gauge.SetProgress(INT_MAX);
  EXPECT_EQ(gauge.GetPercentDone(), 100);
  gauge.AddProgress(INT_MIN);
  EXPECT_EQ(gauge.Progress(), -1);
  gauge.AddProgress(INT_MIN);  // must saturate, not wrap round
  EXPECT_EQ(gauge.Progress(), INT_MIN + 1);
}

TEST(CGauge, InconsistentLimitsRaiseTheirMessagesAndChangeNothing) {
  TCGauge gauge;
  gauge.SetProgress(40);
  try {
    gauge.SetMinValue(101);
    FAIL() << "minimum above maximum was accepted";
  } catch (const EGaugeError& e) {
    EXPECT_STREQ(e.what(), "Value must be between -2147483647 and 99");
  }
  try {
    gauge.SetMaxValue(-5);
    FAIL() << "maximum below minimum was accepted";
  } catch (const EGaugeError& e) {
    EXPECT_STREQ(e.what(), "Value must be between 1 and 2147483647");
  }
  EXPECT_EQ(gauge.MinValue(), 0);
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 40);

  // Equal limits are accepted and show 0 %.
  gauge.SetMinValue(100);
  EXPECT_EQ(gauge.Progress(), 100);
  EXPECT_EQ(gauge.GetPercentDone(), 0);
}

TEST(CGauge, ProgressIsClampedAndFollowsTheLimits) {
  TCGauge gauge;
  gauge.SetProgress(-10);
  EXPECT_EQ(gauge.Progress(), 0);
  gauge.SetProgress(150);
  EXPECT_EQ(gauge.Progress(), 100);
  gauge.SetMaxValue(60);
  EXPECT_EQ(gauge.Progress(), 60);
  gauge.SetProgress(5);
  gauge.SetMinValue(20);
  EXPECT_EQ(gauge.Progress(), 20);

  // A maximum of 0 is ignored, even where it would be inconsistent.
  gauge.SetMaxValue(0);
  EXPECT_EQ(gauge.MaxValue(), 60);
  gauge.SetMinValue(-50);
  gauge.SetMaxValue(0);
  EXPECT_EQ(gauge.MaxValue(), 60);
}

TEST(CGauge, RepaintsOnlyWhenTheShownPercentChanges) {
  TCGauge gauge;
  gauge.SetMaxValue(1000);
  gauge.SetProgress(500);
  int count = gauge.PaintCount();
  gauge.SetProgress(501);
  EXPECT_EQ(gauge.Progress(), 501);
  EXPECT_EQ(gauge.PaintCount(), count) << "50 % to 50 % must not repaint";
  gauge.SetProgress(510);
  EXPECT_EQ(gauge.PaintCount(), count + 1);

  TCGauge hundred;
  hundred.SetProgress(49);
  count = hundred.PaintCount();
  hundred.SetProgress(50);
  EXPECT_EQ(hundred.PaintCount(), count + 1);
  hundred.SetProgress(50);
  hundred.SetKind(gkHorizontalBar);
  hundred.SetForeColor(QColor(kBlack));
  hundred.SetMinValue(0);
  EXPECT_EQ(hundred.PaintCount(), count + 1) << "unchanged values must not repaint";
  hundred.AddProgress(0);
  EXPECT_EQ(hundred.PaintCount(), count + 2);
  hundred.SetMaxValue(100);  // the maximum repaints even when unchanged
  EXPECT_EQ(hundred.PaintCount(), count + 3);
}

TEST(CGauge, VisibleGaugePaintsBeforeTheSetterReturns) {
  CountingGauge gauge;
  gauge.show();
  QApplication::processEvents();
  const int before = gauge.painted;
  gauge.SetProgress(30);  // no event loop runs between here and the check
  EXPECT_GT(gauge.painted, before);
}

TEST(CGauge, MainWindowGaugeAtHalfFillsTheLeftHalfWithInvertedText) {
  TCGauge gauge;
  gauge.resize(433, 17);
  gauge.SetProgress(50);
  gauge.SetShowText(false);
  const QImage plain = gauge.Render();
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 433; ++x) {
      const bool frame = x == 0 || y == 0 || x == 432 || y == 16;
      const QRgb want = frame || x < 216 ? kBlack : kWhite;
      ASSERT_EQ(plain.pixel(x, y), want) << "at " << x << "," << y;
    }
  }

  gauge.SetShowText(true);
  const QImage text = gauge.Render();
  int left = 433, right = -1, overBar = 0, overField = 0;
  for (int y = 0; y < 17; ++y) {
    for (int x = 0; x < 433; ++x) {
      if (text.pixel(x, y) == plain.pixel(x, y)) continue;
      ASSERT_EQ(text.pixel(x, y) & 0xFFFFFF, (plain.pixel(x, y) ^ 0xFFFFFF) & 0xFFFFFF)
          << "text pixel is not an exact inversion at " << x << "," << y;
      ASSERT_TRUE(x >= 1 && x < 432 && y >= 1 && y < 16) << "text outside the paint rectangle";
      left = std::min(left, x);
      right = std::max(right, x);
      (x < 216 ? overBar : overField)++;
    }
  }
  EXPECT_GT(overBar, 0) << "no white text over the bar";
  EXPECT_GT(overField, 0) << "no black text over the field";
  EXPECT_NEAR((left + right) / 2.0, 216, 4) << "text is not centred";
}

TEST(CGauge, EqualLimitsDrawLikeAnEmptyGauge) {
  TCGauge empty;
  TCGauge equal;
  equal.SetMinValue(100);
  EXPECT_EQ(equal.Render(), empty.Render());
}

TEST(CGauge, BarsFillThePaintRectangleAtFullAndGrowFromTheirStart) {
  TCGauge gauge;
  UseColours(gauge);
  gauge.SetProgress(100);
  QImage full = gauge.Render();
  EXPECT_EQ(full.pixel(0, 0), kBlack);
  EXPECT_EQ(full.pixel(99, 99), kBlack);
  EXPECT_EQ(full.pixel(1, 1), kRed);
  EXPECT_EQ(full.pixel(98, 98), kRed);

  gauge.SetKind(gkVerticalBar);
  full = gauge.Render();
  EXPECT_EQ(full.pixel(1, 1), kRed);
  EXPECT_EQ(full.pixel(50, 0), kBlack) << "vertical bar overran the top frame";
  EXPECT_EQ(full.pixel(98, 98), kRed);

  // 50 % of a height of 99 is 49 rows, counted up from the bottom.
  gauge.SetProgress(50);
  const QImage half = gauge.Render();
  for (int y = 1; y < 99; ++y) {
    EXPECT_EQ(half.pixel(50, y), y >= 50 ? kRed : kBlue) << "row " << y;
  }
}

TEST(CGauge, PieGrowsClockwiseFromTwelveOClock) {
  TCGauge gauge;
  gauge.resize(101, 101);
  gauge.SetKind(gkPie);
  UseColours(gauge);
  struct Case {
    int percent;
    QRgb upper_right, lower_right, lower_left, upper_left;
  };
  for (const Case& c : {Case{0, kBlue, kBlue, kBlue, kBlue}, Case{25, kRed, kBlue, kBlue, kBlue},
                        Case{50, kRed, kRed, kBlue, kBlue}, Case{100, kRed, kRed, kRed, kRed}}) {
    gauge.SetProgress(c.percent);
    const QImage image = gauge.Render();
    EXPECT_EQ(image.pixel(75, 25), c.upper_right) << c.percent << " %";
    EXPECT_EQ(image.pixel(75, 75), c.lower_right) << c.percent << " %";
    EXPECT_EQ(image.pixel(25, 75), c.lower_left) << c.percent << " %";
    EXPECT_EQ(image.pixel(25, 25), c.upper_left) << c.percent << " %";
    EXPECT_EQ(image.pixel(3, 3), kGreen) << "outside the ellipse at " << c.percent << " %";
  }
}

TEST(CGauge, NeedleIsAbsentAtZeroAndSwingsFromLeftToRight) {
  TCGauge gauge;
  gauge.SetKind(gkNeedle);
  UseColours(gauge);
  // Where the needle crosses row 63 at 25 %, 50 % and 75 %.
  const QPoint left(32, 63), up(50, 63), right(68, 63);
  auto needleNear = [](const QImage& Image, QPoint P) {
    return Image.pixel(P.x() - 1, P.y()) == kRed || Image.pixel(P) == kRed ||
           Image.pixel(P.x() + 1, P.y()) == kRed;
  };

  const QImage zero = gauge.Render();
  EXPECT_EQ(zero.pixel(3, 3), kGreen) << "corner outside the dial";
  EXPECT_EQ(zero.pixel(50, 1), kRed) << "top of the dial's outline";
  for (QPoint p : {left, up, right}) EXPECT_FALSE(needleNear(zero, p)) << "needle drawn at 0 %";

  struct Case {
    int percent;
    QPoint on, off;
  };
  for (const Case& c : {Case{25, left, right}, Case{50, up, left}, Case{75, right, up}}) {
    gauge.SetProgress(c.percent);
    const QImage image = gauge.Render();
    EXPECT_TRUE(needleNear(image, c.on)) << "needle missing at " << c.percent << " %";
    EXPECT_FALSE(needleNear(image, c.off)) << "needle misplaced at " << c.percent << " %";
  }
}

TEST(CGauge, OnlyASingleBorderDrawsAFrame) {
  TCGauge gauge;
  gauge.SetShowText(false);
  for (TFormBorderStyle style : {bsNone, bsDialog, bsSizeable}) {
    gauge.SetBorderStyle(style);
    const QImage image = gauge.Render();
    EXPECT_EQ(image.pixel(0, 0), kWhite) << "style " << style;
    EXPECT_EQ(image.pixel(99, 99), kWhite) << "style " << style;
  }
  gauge.SetBorderStyle(bsSingle);
  EXPECT_EQ(gauge.Render().pixel(0, 0), kBlack);
}

TEST(CGauge, TextKindShowsBlackPercentOnWhite) {
  TCGauge gauge;
  gauge.resize(60, 30);
  gauge.SetKind(gkText);
  gauge.SetProgress(100);
  const QImage image = gauge.Render();
  int blackInside = 0;
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 60; ++x) {
      const QRgb pixel = image.pixel(x, y);
      ASSERT_TRUE(pixel == kBlack || pixel == kWhite) << "at " << x << "," << y;
      if (x == 0 || y == 0 || x == 59 || y == 29) {
        ASSERT_EQ(pixel, kBlack) << "frame at " << x << "," << y;
      } else if (pixel == kBlack) {
        ++blackInside;
      }
    }
  }
  EXPECT_GT(blackInside, 10) << "no text drawn";
  EXPECT_LT(blackInside, 58 * 28 / 2) << "field is not white";
}

// On a scaled display the picture is drawn at the display's resolution, not
// stretched from the layout size: the bar keeps its geometry, the digits
// get the finer pixels, and no blended colour appears at a fractional scale.
TEST(CGauge, ScaledPicturesAreDrawnAtTheDisplaysResolution) {
  TCGauge gauge;
  gauge.resize(433, 17);  // the main window's gauge
  gauge.SetProgress(50);

  gauge.SetShowText(false);
  const QImage plain = gauge.Render();
  const QImage doubled = gauge.Render(2.0);
  ASSERT_EQ(doubled.size(), QSize(866, 34));
  EXPECT_EQ(doubled.devicePixelRatio(), 2.0);
  int differing = 0;
  for (int y = 0; y < doubled.height(); ++y)
    for (int x = 0; x < doubled.width(); ++x)
      differing += doubled.pixel(x, y) != plain.pixel(x / 2, y / 2);
  EXPECT_EQ(differing, 0) << "the bar and the frame cover the same places";

  // A picture stretched from layout size is made of uniform 2x2 blocks; the
  // digits drawn at double resolution are not.
  gauge.SetShowText(true);
  const QImage text = gauge.Render(2.0);
  int finer = 0;
  for (int y = 0; y + 1 < text.height(); y += 2)
    for (int x = 0; x + 1 < text.width(); x += 2) {
      const QRgb p = text.pixel(x, y);
      finer +=
          text.pixel(x + 1, y) != p || text.pixel(x, y + 1) != p || text.pixel(x + 1, y + 1) != p;
    }
  EXPECT_GT(finer, 0);

  const QImage half = gauge.Render(1.5);
  ASSERT_EQ(half.size(), QSize(650, 26));
  int blended = 0;
  for (int y = 0; y < half.height(); ++y)
    for (int x = 0; x < half.width(); ++x)
      blended += half.pixel(x, y) != kBlack && half.pixel(x, y) != kWhite;
  EXPECT_EQ(blended, 0) << "only the black bar, the white field and their inversions";
  // The bar ends halfway across the field, near device pixel 1.5 * 216,
  // with the digits around that point.
  EXPECT_EQ(half.pixel(300, 13), kBlack);
  EXPECT_EQ(half.pixel(400, 13), kWhite);
  EXPECT_EQ(half.pixel(4, 2), kBlack);
  EXPECT_EQ(half.pixel(645, 2), kWhite);
}

}  // namespace
}  // namespace kelmora::widgets

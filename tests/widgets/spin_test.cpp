// SPDX-License-Identifier: GPL-3.0-or-later

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <vector>

#include "widgets/qt_application.h"
#include "widgets/samples/spin_button.h"
#include "widgets/samples/spin_edit.h"
#include "widgets/samples/timer_speed_button.h"

namespace kelmora::widgets {
namespace {

// A repeat timer the test runs by hand: it notes every wait it is asked for
// and ends the current one when told to.
class SteppedTimer : public TRepeatTimer {
 public:
  void Start(int Milliseconds) override {
    waits.push_back(Milliseconds);
    running = true;
  }
  void Stop() override { running = false; }
  // Ends the wait as the clock would; a stopped timer is fired anyway to
  // catch a button that trusts the timer alone.
  void Elapse() {
    running = false;
    emit Elapsed();
  }

  std::vector<int> waits;
  bool running = false;
};

SteppedTimer* UseSteppedTimer(TTimerSpeedButton& Button) {
  auto* timer = new SteppedTimer;
  Button.SetRepeatTimer(timer);
  return timer;
}

TEST(TimerSpeedButton, ClicksOnPressThenAfterTheDelayAtTheIntervalUntilReleased) {
  TTimerSpeedButton button;
  button.SetInitialDelay(300);
  button.SetRepeatInterval(50);
  SteppedTimer* timer = UseSteppedTimer(button);
  QSignalSpy clicks(&button, &QAbstractButton::clicked);

  QTest::mousePress(&button, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_TRUE(button.isDown());
  EXPECT_EQ(timer->waits, std::vector<int>{300});
  for (int i = 0; i < 3; ++i) timer->Elapse();
  EXPECT_EQ(clicks.count(), 4);
  EXPECT_EQ(timer->waits, (std::vector<int>{300, 50, 50, 50}));
  EXPECT_TRUE(timer->running);

  QTest::mouseRelease(&button, Qt::LeftButton);
  EXPECT_FALSE(timer->running);
  EXPECT_FALSE(button.isDown());
  timer->Elapse();  // a wait ending just after the release
  EXPECT_EQ(clicks.count(), 4) << "no click on release and none after it";

  QTest::mouseClick(&button, Qt::RightButton);
  EXPECT_EQ(clicks.count(), 4);
}

TEST(TimerSpeedButton, WithoutRepeatingOrWhenDisabledItClicksOnceOrNotAtAll) {
  TTimerSpeedButton button;
  SteppedTimer* timer = UseSteppedTimer(button);
  QSignalSpy clicks(&button, &QAbstractButton::clicked);
  button.SetRepeating(false);
  QTest::mousePress(&button, Qt::LeftButton);
  timer->Elapse();
  QTest::mouseRelease(&button, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_TRUE(timer->waits.empty());

  button.SetRepeating(true);
  QTest::keyPress(&button, Qt::Key_Space);
  timer->Elapse();
  QTest::keyRelease(&button, Qt::Key_Space);
  EXPECT_EQ(clicks.count(), 3) << "Space holds the button as the mouse does";

  button.setEnabled(false);
  QTest::mousePress(&button, Qt::LeftButton);
  QTest::mouseRelease(&button, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 3);
}

TEST(SpinButton, EachHalfRepeatsItsOwnSignal) {
  TCSpinButton spin;
  spin.resize(18, 30);
  spin.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&spin));
  SteppedTimer* upTimer = UseSteppedTimer(*spin.UpButton());
  QSignalSpy ups(&spin, &TCSpinButton::UpClick);
  QSignalSpy downs(&spin, &TCSpinButton::DownClick);
  QTest::mousePress(spin.UpButton(), Qt::LeftButton);
  upTimer->Elapse();
  upTimer->Elapse();
  QTest::mouseRelease(spin.UpButton(), Qt::LeftButton);
  QTest::mouseClick(spin.DownButton(), Qt::LeftButton);
  EXPECT_EQ(ups.count(), 3);
  EXPECT_EQ(downs.count(), 1);
  EXPECT_LT(spin.UpButton()->geometry().bottom(), spin.DownButton()->geometry().top());
}

class SpinEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    edit_.SetMinValue(-20);
    edit_.SetMaxValue(100);
    edit_.SetIncrement(7);
    edit_.SetValue(10);
    changes_.clear();
  }
  // Replaces the text as a user would and presses Return.
  void Enter(const QString& Keys) {
    edit_.Editor()->selectAll();
    QTest::keyClick(edit_.Editor(), Qt::Key_Delete);
    QTest::keyClicks(edit_.Editor(), Keys);
    QTest::keyClick(edit_.Editor(), Qt::Key_Return);
  }

  TCSpinEdit edit_;
  QSignalSpy changes_{&edit_, &TCSpinEdit::ValueChanged};
};

TEST_F(SpinEditTest, EntriesAreClampedAndTextThatIsNoNumberIsRefused) {
  struct Case {
    QString typed;
    int value;
    QString shown;
  };
  const Case cases[] = {
      {"42", 42, "42"},
      {"250", 100, "100"},
      {"-75", -20, "-20"},
      {"+3", 3, "3"},
      {"12ab3", 100, "100"},           // the letters never reach the edit: 123, clamped
      {"99999999999999", 100, "100"},  // past an int: clamped, not wrapped
      {"-9999999999", -20, "-20"},
      {"", -20, "-20"},   // empty text keeps the last value
      {"-", -20, "-20"},  // so does a lone sign
  };
  for (const Case& c : cases) {
    Enter(c.typed);
    EXPECT_EQ(edit_.Value(), c.value) << "typed '" << c.typed.toStdString() << "'";
    EXPECT_EQ(edit_.Editor()->text(), c.shown) << "typed '" << c.typed.toStdString() << "'";
  }
  EXPECT_EQ(changes_.count(), 6);  // 42, 100, -20, 3, 100 and -20
}

TEST_F(SpinEditTest, ArrowsAndTheButtonStepByTheIncrementAndStopAtTheLimits) {
  QTest::keyClick(edit_.Editor(), Qt::Key_Up);
  EXPECT_EQ(edit_.Value(), 17);
  for (int i = 0; i < 4; ++i) QTest::keyClick(edit_.Editor(), Qt::Key_Down);
  EXPECT_EQ(edit_.Value(), -11);
  QTest::keyClick(edit_.Editor(), Qt::Key_Down);
  QTest::keyClick(edit_.Editor(), Qt::Key_Down);  // -25 lies below the minimum
  EXPECT_EQ(edit_.Value(), -20);
  EXPECT_EQ(edit_.Editor()->text(), "-20");

  // A step starts from what is typed, even before Return.
  edit_.Editor()->setText("95");
  QTest::mouseClick(edit_.Button()->UpButton(), Qt::LeftButton);
  EXPECT_EQ(edit_.Value(), 100);
  EXPECT_EQ(edit_.Editor()->text(), "100");

  edit_.SetMaxValue(2147483647);
  edit_.SetIncrement(1000000000);
  edit_.SetValue(2147483000);
  edit_.Step(3);
  EXPECT_EQ(edit_.Value(), 2147483647) << "a step past the int range must not wrap";
}

TEST_F(SpinEditTest, LimitsMoveEachOtherAndTheValue) {
  edit_.SetMinValue(150);
  EXPECT_EQ(edit_.MaxValue(), 150);
  EXPECT_EQ(edit_.Value(), 150);
  edit_.SetMaxValue(-30);
  EXPECT_EQ(edit_.MinValue(), -30);
  EXPECT_EQ(edit_.Value(), -30);
  EXPECT_EQ(edit_.Editor()->text(), "-30");
  edit_.SetIncrement(0);
  EXPECT_EQ(edit_.Increment(), 7);
}

}  // namespace
}  // namespace kelmora::widgets

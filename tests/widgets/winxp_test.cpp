// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/winxp.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QWidget>
#include <memory>
#include <stdexcept>

#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

int CountOn(const QObject& Owner) {
  return static_cast<int>(Owner.findChildren<TWinXP*>(Qt::FindDirectChildrenOnly).size());
}

void ExpectRefused(QObject* Owner, const char* Message) {
  try {
    TWinXP refused(Owner);
    ADD_FAILURE() << "placement was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), Message);
  }
}

TEST(WinXP, OnePerFormIsAcceptedOnEveryForm) {
  QWidget first;
  QDialog second;
  auto* onFirst = new TWinXP(&first);
  auto* onSecond = new TWinXP(&second);
  EXPECT_EQ(onFirst->parent(), &first);
  EXPECT_EQ(onSecond->parent(), &second);

  ExpectRefused(&first, "Only one instance of TWinXP allowed on form");
  EXPECT_EQ(CountOn(first), 1) << "a refused instance stayed on the form";

  // Once the form's instance is gone, the form may take a new one.
  delete onFirst;
  new TWinXP(&first);
  EXPECT_EQ(CountOn(first), 1);
}

TEST(WinXP, OwnerThatIsNotAFormIsRefused) {
  ExpectRefused(nullptr, "Control parent must be a form!");
  QObject plain;
  ExpectRefused(&plain, "Control parent must be a form!");
  QWidget form;
  auto* inner = new QWidget(&form);
  ExpectRefused(inner, "Control parent must be a form!");
  EXPECT_EQ(CountOn(*inner), 0);
  EXPECT_EQ(CountOn(form), 0);
}

}  // namespace
}  // namespace kelmora::widgets

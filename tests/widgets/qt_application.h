// SPDX-License-Identifier: GPL-3.0-or-later
//
// One QApplication for every test of a widget test program. Registered as a
// global environment so the stock gtest main can be kept.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace kelmora::test {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QApplication::instance() == nullptr) app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  static inline int argc_ = 1;
  static inline char name_[] = "kelmora-widget-tests";
  static inline char* argv_[] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

inline ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace kelmora::test

// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one busy mark of a run: set for its length and cleared on every way
// out, an exception included.
#pragma once

namespace kelmora {

class BusyScope {
 public:
  explicit BusyScope(bool& Busy) : busy_(Busy) { busy_ = true; }
  ~BusyScope() { End(); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

  // Cleared before the run's closing report, which a front end may answer
  // by starting the next run.
  void End() { busy_ = false; }

 private:
  bool& busy_;
};

}  // namespace kelmora

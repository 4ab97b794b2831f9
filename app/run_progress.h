// SPDX-License-Identifier: GPL-3.0-or-later
//
// TRunProgress: how far a run has come, as the gauge, the status line and
// the window title show it. The gauge goes by files, as it always did, but
// moves within a file by its bytes, so it reaches the end only when the run
// does; speed and time left come from the bytes, smoothed over seconds so
// that one slow file does not make the estimate jump.
#pragma once

#include <cstdint>

namespace kelmora::app {

class TRunProgress {
 public:
  // Files and Bytes the run is to go through (Bytes 0 when not known); Now
  // in seconds on any steady clock.
  void Start(int32_t Files, int64_t Bytes, double Now);
  // A file begins at the bytes done so far. Expected is its size when that
  // is known, else -1: it is then taken as its share of what is left.
  void BeginFile(int64_t Expected);
  // The run's bytes so far.
  void Advance(int64_t Done, double Now);
  // The run is over: 100 %.
  void Finish();

  // 0 to 1, never falling back; below 1 until Finish.
  double Fraction() const { return fraction_; }
  // The whole percentage of Fraction: 99 at most until Finish.
  int Percent() const;
  int32_t FileNumber() const { return fileNumber_; }
  int64_t Done() const { return done_; }
  // Bytes per second, smoothed; 0 until a second or so has been measured.
  double Speed() const { return speed_; }
  // Seconds left at Now; below 0 while they cannot be told yet.
  double SecondsLeft(double Now) const;
  double Elapsed(double Now) const { return Now - start_; }

 private:
  void Update();

  int32_t files_ = 0;
  int64_t totalBytes_ = 0;
  int32_t fileNumber_ = 0;
  int64_t fileStart_ = 0;
  int64_t fileExpected_ = -1;
  int64_t done_ = 0;
  double start_ = 0;
  double sampleAt_ = 0;
  int64_t sampleBytes_ = 0;
  double speed_ = 0;
  double fraction_ = 0;
  bool finished_ = false;
};

}  // namespace kelmora::app

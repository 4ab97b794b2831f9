// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/run_progress.h"

#include <algorithm>
#include <cmath>

namespace kelmora::app {

namespace {

// How often the speed is measured, and over how long a change in it
// settles: long enough to ride out a burst of small files, short enough to
// follow a slower disk.
constexpr double kSampleSeconds = 0.5;
constexpr double kSettleSeconds = 3.0;
// Time left is not guessed from the first moments of a run.
constexpr double kFirstEstimateSeconds = 2.0;
// A file is never shown as done before its end is seen.
constexpr double kMostOfAFile = 0.999;

}  // namespace

void TRunProgress::Start(int32_t Files, int64_t Bytes, double Now) {
  *this = TRunProgress{};
  files_ = std::max(Files, 0);
  totalBytes_ = std::max<int64_t>(Bytes, 0);
  start_ = sampleAt_ = Now;
}

void TRunProgress::BeginFile(int64_t Expected) {
  ++fileNumber_;
  fileStart_ = done_;
  fileExpected_ = Expected;
  if (fileExpected_ < 0 && totalBytes_ > done_) {
    // What is left, shared out among the files still to come: exact for
    // the last file, and for files of one size.
    const int64_t filesLeft = std::max<int64_t>(int64_t{files_} - fileNumber_ + 1, 1);
    fileExpected_ = (totalBytes_ - done_) / filesLeft;
  }
  Update();
}

void TRunProgress::Advance(int64_t Done, double Now) {
  done_ = std::max(Done, done_);
  const double span = Now - sampleAt_;
  if (span >= kSampleSeconds) {
    const double rate = static_cast<double>(done_ - sampleBytes_) / span;
    const double weight = 1.0 - std::exp(-span / kSettleSeconds);
    speed_ = speed_ <= 0 ? rate : speed_ + weight * (rate - speed_);
    sampleAt_ = Now;
    sampleBytes_ = done_;
  }
  Update();
}

void TRunProgress::Update() {
  if (finished_ || files_ <= 0 || fileNumber_ <= 0) return;
  double within = 0;
  if (fileExpected_ > 0)
    within = static_cast<double>(done_ - fileStart_) / static_cast<double>(fileExpected_);
  within = std::clamp(within, 0.0, kMostOfAFile);
  const double files = std::min<double>(fileNumber_ - 1, files_);
  fraction_ = std::max(fraction_, std::min((files + within) / files_, kMostOfAFile));
}

void TRunProgress::Finish() {
  finished_ = true;
  fraction_ = 1.0;
}

int TRunProgress::Percent() const {
  return static_cast<int>(std::floor(fraction_ * 100.0));
}

double TRunProgress::SecondsLeft(double Now) const {
  const double elapsed = Elapsed(Now);
  if (finished_) return 0;
  if (elapsed < kFirstEstimateSeconds || speed_ <= 0) return -1;
  if (totalBytes_ > 0 && done_ <= totalBytes_)
    return static_cast<double>(totalBytes_ - done_) / speed_;
  // Bytes to do not known (or outgrown): the share of the gauge still to
  // go, at the pace so far.
  if (fraction_ <= 0.01) return -1;
  return elapsed * (1.0 - fraction_) / fraction_;
}

}  // namespace kelmora::app

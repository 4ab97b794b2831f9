// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the main window keeps of the run under way: where it is shown, the
// files it is to reach, what it met so far, and its progress.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/main_window.h"
#include "app/run_outcome.h"
#include "app/run_progress.h"

namespace kelmora::app {

struct TForm1::TRun {
  TOperation Operation = TOperation::None;
  TRunView* View = nullptr;
  std::string Archive;
  // The volume file read last: the next one is looked for beside it.
  std::string LastVolume;
  int32_t Volumes = 1;
  uint16_t MissingVolume = 0;
  // The files chosen, by stored name, with their sizes (an estimate where
  // the archive has none); empty when the whole archive is restored.
  std::unordered_map<std::string, int64_t> Chosen;
  int64_t ChosenBytes = 0;
  int32_t Reached = 0;
  int32_t Kept = 0;
  int32_t Damaged = 0;
  std::vector<TClash> Clashes;
  bool HadArchive = false;
  bool Started = false;
  TRunProgress Progress;
  QElapsedTimer Clock;
  qint64 ShownAt = -1;
  QString ShownFile;
  // Runs once the status line says how the run ended, before any box.
  std::function<void(const TRunOutcome&)> Finished;
  int TitlePercent = -1;

  double Now() const { return static_cast<double>(Clock.nsecsElapsed()) / 1e9; }
};

// Marks an operation as running for as long as its command runs, with the
// commands that must not run meanwhile switched off. A close asked for
// meanwhile is completed by Guard once the command is over.
class TForm1::OperationScope {
 public:
  OperationScope(TForm1& Form, TOperation Operation, const std::string& Archive, TRunView& View)
      : form_(Form), view_(View) {
    form_.running_ = Operation;
    form_.runningArchive_ = Archive;
    form_.SetRunning(true);
    view_.SetRunShown(true);
  }
  ~OperationScope() {
    form_.running_ = TOperation::None;
    view_.SetRunShown(false);
    view_.RunWindow()->setWindowTitle(view_.RestingTitle());
    form_.SetRunning(false);
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  TForm1& form_;
  TRunView& view_;
};

}  // namespace kelmora::app

// SPDX-License-Identifier: GPL-3.0-or-later
//
// One engine run at a time, shown in the window it was started from: the
// gauge by files moving within a file by its bytes, the speed and time left
// in the status line and the percentage in the title while it runs, then
// what it did in words, the files it could not restore in a box, and a
// desktop notification when the user looked away from a long run.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <algorithm>
#include <unordered_map>

#include "app/application.h"
#include "app/archive_window.h"
#include "app/main_window.h"
#include "app/run_record.h"
#include "kelmora/helpers.h"
#include "widgets/cgauge.h"

namespace kelmora::app {

void TForm1::SetRunning(bool Running) {
  QWidget* const commands[] = {ButtonBackup, ButtonRestore, ButtonBackupFile, ButtonBackupFolder,
                               ButtonRestoreFolder};
  for (QAction* action : {MOpenArchive, MShowContents, MTestArchive}) action->setEnabled(!Running);
  MRecent->setEnabled(!Running && !Values.RecentArchives.isEmpty());
  for (const QPointer<TArchiveWindow>& window : archiveWindows_)
    if (window) window->SetCommandsEnabled(!Running);
  if (Running) {
    focusBeforeRun_ = focusWidget();
    const bool focusOnCommand =
        std::find(std::begin(commands), std::end(commands), focusWidget()) != std::end(commands);
    for (QWidget* command : commands) command->setEnabled(false);
    // A keyboard user who started the run lands on the one button that
    // acts on it.
    if (focusOnCommand) ButtonStop->setFocus();
    return;
  }
  for (QWidget* command : commands) command->setEnabled(true);
  if (focusBeforeRun_ && (focusWidget() == ButtonStop || focusWidget() == nullptr))
    focusBeforeRun_->setFocus();
  focusBeforeRun_ = nullptr;
}

TForm1::TRun& TForm1::PrepareRun(TOperation Operation, const std::string& Archive, TRunView* View) {
  run_ = std::make_unique<TRun>();
  run_->Operation = Operation;
  run_->View = View != nullptr ? View : this;
  run_->Archive = Archive;
  run_->LastVolume = Archive;
  run_->HadArchive = QFileInfo::exists(QString::fromStdString(Archive));
  run_->Clock.start();
  return *run_;
}

TForm1::TRun& TForm1::CurrentRun() {
  // Events raised by a run the window did not start through RunOperation
  // (a test driving the engine itself) are shown in the main window.
  if (!run_) PrepareRun(running_, runningArchive_, this);
  return *run_;
}

void TForm1::FilterRestore(const std::vector<std::string>* Chosen,
                           std::function<int64_t(const std::string&)> Expected) {
  TRun& r = *run_;
  if (Chosen != nullptr) {
    for (const std::string& name : *Chosen) {
      const int64_t size = Expected ? Expected(name) : -1;
      r.Chosen.emplace(name, size);
      r.ChosenBytes += std::max<int64_t>(size, 0);
    }
  }
  const bool all = Chosen == nullptr;
  // Recorded folders and links come back with a whole restore; they are
  // no files to count.
  BackupEngine.RestoreRecordFilter = [all](const std::string&) { return all; };
  // Asked once for each entry, maybe before the restore reaches it (an
  // index takes it straight to the chosen ones): it counts, the progress
  // events move the gauge.
  BackupEngine.RestoreFilter = [this, all](const std::string& Stored) {
    TRun& run = CurrentRun();
    if (!all && run.Chosen.find(Stored) == run.Chosen.end()) return false;
    ++run.Reached;
    return true;
  };
}

void TForm1::StartProgress(TBackupFile& Sender) {
  TRun& r = CurrentRun();
  if (r.Started) return;
  r.Started = true;
  const bool chosen = !r.Chosen.empty();
  int64_t bytes = chosen ? r.ChosenBytes : Sender.TotalSize();
  // A header holds at most 2 GiB - 1: beyond, the bytes to do are unknown.
  if (!chosen && r.Operation != TOperation::Backup && bytes >= INT32_MAX) bytes = 0;
  r.Progress.Start(chosen ? static_cast<int32_t>(r.Chosen.size()) : Sender.FileCount(), bytes,
                   r.Now());
}

void TForm1::EngineProgress(TBackupFile& Sender, const std::string& Filename, TPercentage Percent,
                            bool&) {
  TRun& r = CurrentRun();
  // The opening event of a backup names no file, and comes before the
  // files are counted; the closing event of every run names none either.
  const bool closing = Filename.empty() && (FileCounter > 0 || Percent >= 100);
  const bool newFile = !Filename.empty() && Filename != LastFileName;
  if (!Filename.empty() || closing) StartProgress(Sender);
  if (newFile) {
    ++FileCounter;
    // A backup reads files whose sizes the system tells.
    int64_t expected = -1;
    if (r.Operation == TOperation::Backup) {
      const QFileInfo source(QString::fromStdString(Filename));
      if (source.isFile()) expected = source.size();
    }
    r.Progress.Advance(Sender.BytesDone(), r.Now());
    r.Progress.BeginFile(expected);
    r.ShownFile = QString::fromStdString(Filename);
  }
  LastFileName = Filename;
  r.Progress.Advance(Sender.BytesDone(), r.Now());
  widgets::TCGauge* gauge = r.View->RunGauge();
  const int64_t range = int64_t{gauge->MaxValue()} - gauge->MinValue();
  if (closing) {
    gauge->SetProgress(gauge->MaxValue());
  } else if (r.Started) {
    gauge->SetProgress(
        static_cast<int>(gauge->MinValue() + static_cast<int64_t>(range * r.Progress.Fraction())));
  }
  ShowProgress(newFile || closing);
}

void TForm1::ShowProgress(bool Now) {
  TRun& r = *run_;
  const int percent = r.Progress.Percent();
  if (percent != r.TitlePercent && r.Started) {
    r.TitlePercent = percent;
    r.View->RunWindow()->setWindowTitle(
        Text("Progress->Title").arg(FormatPercent(percent, TextSource()), r.View->RestingTitle()));
  }
  // A few lines a second are read; more only cost the run time.
  const qint64 at = r.Clock.elapsed();
  if (!Now && r.ShownAt >= 0 && at - r.ShownAt < 100) return;
  r.ShownAt = at;
  const double speed = r.Progress.Speed();
  const double left = r.Progress.SecondsLeft(r.Now());
  const bool started = r.Started;
  const int32_t damaged = r.Damaged;
  const QString file = r.ShownFile;
  r.View->ShowStatus([this, percent, speed, left, started, damaged, file] {
    QStringList parts;
    if (started) parts << FormatPercent(percent, TextSource());
    if (speed > 0) parts << FormatSpeed(speed, TextSource());
    if (left >= 0) parts << Text("Progress->Left").arg(FormatDuration(left, TextSource()));
    if (damaged > 0) parts << Text("Outcome->Damaged").arg(FormatCount(damaged));
    if (!file.isEmpty()) parts << file;
    return " " + parts.join(QStringLiteral(" - "));
  });
}

void TForm1::ShowSelection() {
  if (!run_ || run_->Operation != TOperation::Backup || run_->Started) return;
  TRun& r = *run_;
  const qint64 at = r.Clock.elapsed();
  if (r.ShownAt >= 0 && at - r.ShownAt < 100) return;
  r.ShownAt = at;
  const int32_t found = BackupEngine.FileCount();
  r.View->ShowStatus(
      [this, found] { return " " + Text("Status->Selecting").arg(FormatCount(found)); });
}

void TForm1::RunOperation(const std::function<bool()>& Run) {
  TRun& r = *run_;
  FileCounter = 0;
  LastFileName.clear();
  cancelled_ = false;
  stopRequested_ = false;
  bool completed = false;
  std::string exception;
  {
    OperationScope scope(*this, r.Operation, r.Archive, *r.View);
    try {
      completed = Run();
    } catch (const std::exception& error) {
      exception = error.what();
    }
  }
  BackupEngine.RestoreFilter = nullptr;
  BackupEngine.RestoreRecordFilter = nullptr;
  BackupEngine.RestoreBaseFolder.clear();
  lastOutcome_ = MakeOutcome(completed, exception);
  ShowOutcome(lastOutcome_);
  if (r.Finished) r.Finished(lastOutcome_);
  NotifyIfUnattended(lastOutcome_);
  if (!exception.empty()) Dialogs.ShowError(ApplicationTitle(), EngineText(exception));
  ShowProblems(lastOutcome_);
  run_.reset();
}

TRunOutcome TForm1::MakeOutcome(bool Completed, const std::string& Exception) const {
  const TRun& r = *run_;
  TRunOutcome o;
  o.Archive = QString::fromStdString(r.Archive);
  o.Seconds = r.Now();
  o.Failure = BackupEngine.Failure();
  o.Exception = Exception;
  o.MissingVolume = r.MissingVolume;
  o.Clashes = r.Clashes;
  o.HadArchive = r.HadArchive;
  const int32_t code = BackupEngine.ErrorCode();
  const bool failedEarly = !Exception.empty();
  const auto endOf = [&](bool WentThrough) {
    if (failedEarly) return TRunEnd::Failed;
    if (Completed || (WentThrough && !stopRequested_ && !cancelled_)) return TRunEnd::Completed;
    if (cancelled_) return TRunEnd::Cancelled;
    if (stopRequested_ && (code == 0 || code == beFileChanged)) return TRunEnd::Stopped;
    return code != 0 ? TRunEnd::Failed : TRunEnd::Stopped;
  };
  switch (r.Operation) {
    case TOperation::Backup:
      o.Kind = TRunKind::Backup;
      o.FilesDone = BackupEngine.FilesDone();
      o.FileCount = BackupEngine.FileCount();
      o.Bytes = Completed ? BackupEngine.TotalSize() : BackupEngine.BytesDone();
      o.ArchiveBytes = BackupEngine.ArchiveBytes();
      o.Volumes = r.Volumes;
      if (Completed) {
        // What the volumes take on disk, header and end marker included.
        int64_t onDisk = 0;
        for (int32_t v = 1; v <= r.Volumes; ++v)
          onDisk += QFileInfo(QString::fromStdString(VolumeFileName(r.Archive, v))).size();
        if (onDisk > 0) o.ArchiveBytes = onDisk;
      }
      o.Rate = BackupEngine.CompressionRate();
      o.HiddenFolders = BackupEngine.HiddenFolders();
      o.End = endOf(false);
      break;
    case TOperation::Restore: {
      o.Kind = TRunKind::Restore;
      o.Companion = BackupEngine.CompanionState();
      o.Damages = BackupEngine.Damages();
      o.Incomplete = BackupEngine.Incomplete();
      o.Restored = BackupEngine.FilesDone();
      o.Kept = r.Kept;
      o.Bytes = BackupEngine.BytesDone();
      o.FilesDone = r.Reached;
      o.FileCount =
          r.Chosen.empty() ? BackupEngine.FileCount() : static_cast<int32_t>(r.Chosen.size());
      // Damage and files left out do not end a restore: it went through
      // when it ended on them alone.
      const bool wentThrough = (code == beCompression && !o.Damages.empty()) ||
                               (code == beCannotReadFile && r.Reached >= o.FileCount);
      o.End = endOf(wentThrough);
      o.Refused = o.End == TRunEnd::Completed
                      ? std::max(0, o.FilesDone - o.Restored - o.Kept - o.DamagedFiles())
                      : static_cast<int32_t>(o.Clashes.size());
      break;
    }
    case TOperation::Test:
      o.Kind = TRunKind::Test;
      o.Damages = BackupEngine.Damages();
      o.Incomplete = BackupEngine.Incomplete();
      o.FilesDone = BackupEngine.FilesDone();
      o.FileCount = BackupEngine.FileCount();
      o.Bytes = BackupEngine.BytesDone();
      o.End = endOf(code == beCompression || code == 0);
      break;
    case TOperation::List:
    case TOperation::None:
      break;
  }
  return o;
}

void TForm1::ShowOutcome(const TRunOutcome& Outcome) {
  TRunView& view = *run_->View;
  view.ShowStatus([this, Outcome] {
    return " " + DescribeOutcome(Outcome, TextSource(), ErrorTextSource(), EngineTextSource());
  });
  // A run that went through fills the gauge; any other leaves it where the
  // run got to.
  widgets::TCGauge* gauge = view.RunGauge();
  const int64_t range = int64_t{gauge->MaxValue()} - gauge->MinValue();
  const double fraction = Outcome.End == TRunEnd::Completed ? 1.0 : run_->Progress.Fraction();
  gauge->SetProgress(static_cast<int>(gauge->MinValue() + static_cast<int64_t>(range * fraction)));
}

void TForm1::NotifyIfUnattended(const TRunOutcome& Outcome) {
  if (Outcome.Seconds < NotifyAfterSeconds || QApplication::activeWindow() != nullptr) return;
  static const char* const kKinds[] = {"Notify->Backup", "Notify->Restore", "Notify->Test"};
  static const char* const kEnds[] = {"Notify->Done", "Notify->Stopped", "Notify->Cancelled",
                                      "Notify->Failed"};
  QString end = Text(kEnds[static_cast<int>(Outcome.End)]);
  if (Outcome.End == TRunEnd::Completed && !Outcome.Damages.empty()) end = Text("Notify->Damaged");
  Dialogs.Notify(Text(kKinds[static_cast<int>(Outcome.Kind)]).arg(end),
                 QFileInfo(Outcome.Archive).fileName() + "\n" +
                     DescribeOutcome(Outcome, TextSource(), ErrorTextSource(), EngineTextSource()));
}

void TForm1::ShowProblems(const TRunOutcome& Outcome) {
  std::vector<TProblem> problems;
  for (const TDamage& d : Outcome.Damages) {
    problems.push_back(
        {d.Filename.empty() ? Text("Problems->NoFile") : QString::fromStdString(d.Filename),
         d.Volume, d.Offset, QString::fromStdString(d.Reason)});
  }
  for (const TClash& c : Outcome.Clashes) {
    problems.push_back(
        {QString::fromStdString(c.Stored), 0, -1,
         Text("Problems->Clash")
             .arg(QString::fromStdString(c.Earlier), QString::fromStdString(c.Target))});
  }
  const bool through = Outcome.End == TRunEnd::Completed;
  if (Outcome.Kind == TRunKind::Test) {
    if (!through) return;
    if (problems.empty()) {
      Dialogs.ShowMessage(
          ApplicationTitle(),
          Text("Message->Sound").arg(Outcome.Archive).arg(FormatCount(Outcome.FilesDone)));
      return;
    }
    QString text = Text("Problems->Test").arg(Outcome.Archive);
    if (Outcome.Incomplete) text += " " + Text("Problems->Incomplete");
    Dialogs.ShowProblems(ApplicationTitle(), text, problems);
    return;
  }
  if (Outcome.Kind != TRunKind::Restore || problems.empty()) return;
  QString text = Text("Problems->Restore");
  if (through)
    text += " " +
            Text(Outcome.Kept > 0 ? "Problems->OthersRestoredOrKept" : "Problems->OthersRestored");
  Dialogs.ShowProblems(ApplicationTitle(), text, problems);
}

bool TForm1::ListedAfterRun(TBackupFile& Sender, int32_t Error) const {
  if (Error == beCompression && !Sender.Damages().empty()) return true;
  return Error == beCannotReadFile && run_ && !run_->Clashes.empty() &&
         Sender.Failure().Subject == run_->Clashes.back().Target;
}

void TForm1::EngineDamage(TBackupFile&, const TDamage& Damage) {
  // The engine keeps the damage for the list shown when the run is over;
  // meanwhile the status line counts the damaged files.
  TRun& r = CurrentRun();
  if (!Damage.Filename.empty()) ++r.Damaged;
  ShowProgress(true);
}

void TForm1::EngineNameClash(TBackupFile&, const std::string& Stored, const std::string& Earlier,
                             const std::string& Target) {
  CurrentRun().Clashes.push_back({Stored, Earlier, Target});
}

void TForm1::EngineRestoreFile(TBackupFile&, std::string&, int32_t, bool& DoRestore) {
  if (!DoRestore) ++CurrentRun().Kept;
}

void TForm1::EngineNeedDisk(TBackupFile& Sender, uint16_t DiskID, bool& Continue) {
  TRun& r = CurrentRun();
  // A backup simply goes on into the next volume file beside the first.
  if (r.Operation == TOperation::Backup || running_ == TOperation::Backup) {
    ++r.Volumes;
    return;
  }
  const std::string next = VolumeFileName(r.LastVolume, DiskID);
  if (QFileInfo(QString::fromStdString(next)).isFile()) {
    r.LastVolume = next;
    ++r.Volumes;
    return;
  }
  // After a volume picked from another folder, the next may be back beside
  // the first one.
  const std::string besideFirst = VolumeFileName(r.Archive, DiskID);
  if (besideFirst != next && QFileInfo(QString::fromStdString(besideFirst)).isFile()) {
    Sender.NeededVolumeFile = besideFirst;
    r.LastVolume = besideFirst;
    ++r.Volumes;
    return;
  }
  // The engine looks again after every answer; ask each time rather than
  // let it spin on a missing file.
  const QString file = QString::fromStdString(next);
  const TVolumeAnswer answer = Dialogs.AskVolume(
      Text("Message->InformationCaption"), Text("Message->MissingVolume").arg(DiskID).arg(file),
      QFileInfo(file).absolutePath());
  Continue = answer.Continue;
  if (!answer.File.isEmpty()) {
    Sender.NeededVolumeFile = answer.File.toStdString();
    r.LastVolume = Sender.NeededVolumeFile;
    ++r.Volumes;
  } else if (Continue && QFileInfo(file).isFile()) {
    r.LastVolume = next;
    ++r.Volumes;
  }
  if (!Continue) {
    cancelled_ = true;
    r.MissingVolume = DiskID;
  }
}

}  // namespace kelmora::app

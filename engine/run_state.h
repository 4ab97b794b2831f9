// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a run changes as it goes, and the one way a run reaches its engine.
//
// Backup, restore, test and listing each make a fresh RunState at their
// start and publish it on the engine, whose accessors (FilesDone, Damages,
// Failure, ...) and event handlers then read the run under way, and after
// it the run that ended last; nothing of an earlier run is left in it. The
// runs write their state and raise the engine's events through a
// RunContext, never through the engine's private fields.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "kelmora/backup_file.h"

namespace kelmora {

class RunState {
 public:
  int32_t FileCount = 0;
  int32_t FilesDone = 0;
  int64_t TotalSize = 0;
  int64_t BytesDone = 0;
  int64_t ArchiveBytes = 0;
  std::string CurrentFile;
  bool Busy = false;
  bool Continue = false;  // cleared by Stop, a cancelled question or a failure that ends the run
  TFailure Failure;
  TStringList ChangedFiles;
  std::vector<TFailure> Unreadable;
  int32_t HiddenFolders = 0;
  std::vector<TDamage> Damages;
  bool Incomplete = false;
  TCompanionState Companion = csNone;
  TRepairReport Repair;
};

class RunContext {
 public:
  enum class Start : uint8_t {
    Fresh,    // a run of its own: a new state, published on the engine
    Current,  // a step inside whatever the engine last published
  };
  explicit RunContext(TBackupFile& Engine, Start How = Start::Fresh);
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  TBackupFile& Engine() const { return engine_; }
  // Publishes this run's state on the engine again, after a run of its own
  // (a check inside a backup) published another.
  void Publish();
  RunState& State() const { return *state_; }
  bool Continues() const { return state_->Continue; }
  TBackupError ErrorCode() const { return state_->Failure.Code; }

  // Records a failure where it happens; the run goes on (a refused entry
  // is stepped over) and reports the code once at its end.
  void NoteFailure(TBackupError Code, std::string Subject = std::string(),
                   std::string Reason = std::string());
  void ClearFailure() { NoteFailure(beNone); }
  // Records a failure that ends the run: it winds down and reports Code once.
  void Fail(TBackupError Code, std::string Subject = std::string(),
            std::string Reason = std::string());
  // Records Why, an exception that ended the reading of the archive
  // Subject before anything of it could be read, as code 3 with the
  // system's reason when the disk failed to give it.
  void NoteUnreadable(const std::string& Subject, const std::exception& Why);
  // Whether the file ArchiveName is there to be read. When it is not, that
  // is a failure like any other: recorded with what stands there instead
  // (nothing, a folder, a device, no permission) and reported once.
  bool ArchiveThere(const std::string& ArchiveName);
  void ProcessMessages();
  // Raises OnProgress with BytesDone against TotalSize, clamped to 0..100.
  void ReportProgress(const std::string& Filename);
  void ReportProgress(const std::string& Filename, TPercentage Percent);
  // OnNeedDisk, or the built-in question when it is unset.
  void AskForDisk(uint16_t Disk);
  // Records damage and raises OnDamage; the run will end with code 6.
  void ReportDamage(TDamage Damage);
  // Records what became of the companion and, unless it is sound (or none
  // was looked for), raises OnCompanion.
  void NoteCompanion(const TCompanionNote& Note);

 private:
  TBackupFile& engine_;
  std::shared_ptr<RunState> state_;
};

}  // namespace kelmora

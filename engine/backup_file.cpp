// SPDX-License-Identifier: GPL-3.0-or-later

#include "kelmora/backup_file.h"

#include <thread>
#include <utility>

#include "engine/archive_format.h"
#include "engine/run_state.h"
#include "kelmora/helpers.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr const char* kErrorMessages[] = {
    "",
    "Cannot read file",
    "Overwriting file failed",
    "Cannot read archive",
    "Cannot write to archive",
    "Invalid archive type",
    "Compression error",
    "Cannot create temporary file to save the file IDs",
    "File changed while it was read",
    "Files that could not be read were left out",
    "No file selected in folder",
};

}  // namespace

const char* ErrorMessage(int32_t Code) {
  if (Code < 1 || Code > beNothingSelected) return "";
  return kErrorMessages[Code];
}

TPercentage PercentOf(int64_t Done, int64_t Total) {
  if (Total <= 0) return Done > 0 ? 100 : 0;
  if (Done <= 0) return 0;
  if (Done >= Total) return 100;
  // Done < Total, so Done * 100 cannot overflow for any sane total; divide
  // first when it could.
  if (Done > INT64_MAX / 100) return static_cast<TPercentage>(Done / (Total / 100));
  return static_cast<TPercentage>(Done * 100 / Total);
}

void TBackupFile::SetBackupMode(TBackupMode Mode) {
  if (Mode == backupMode_) return;
  if (Mode == bmIncremental) SetArchiveFlag = true;
  backupMode_ = Mode;
}

int32_t CompressionRateOf(int64_t ArchiveBytes, int64_t TotalSize) {
  if (TotalSize == 0) return 0;
  // 64-bit intermediate; C++ division truncates toward zero.
  return static_cast<int32_t>(100 - ArchiveBytes * 100 / TotalSize);
}

int32_t TBackupFile::CompressionRate() const {
  return CompressionRateOf(state_->ArchiveBytes, state_->TotalSize);
}

unsigned TBackupFile::ThreadCount() const {
  constexpr unsigned kMostThreads = 64;
  unsigned count = Threads;
  if (count == 0) count = std::thread::hardware_concurrency();
  if (count == 0) count = 1;  // the processors could not be counted
  return count < kMostThreads ? count : kMostThreads;
}

std::string DescribeFailure(const TFailure& Failure) {
  std::string text = ErrorMessage(Failure.Code);
  if (!Failure.Subject.empty()) text += ": " + Failure.Subject;
  if (!Failure.Reason.empty()) text += ": " + Failure.Reason;
  return text;
}

void TBackupFile::MessageError(int32_t Code) {
  if (OnError) {
    OnError(*this, Code, ErrorMessage(Code));
  } else if (Hooks.ShowError) {
    const TFailure recorded = Failure();
    Hooks.ShowError(
        "Error",
        DescribeFailure(recorded.Code == Code ? recorded
                                              : TFailure{static_cast<TBackupError>(Code), {}, {}}));
  }
}

TBackupFile::TBackupFile() : state_(std::make_shared<RunState>()) {}
TBackupFile::~TBackupFile() = default;

bool TBackupFile::Busy() const {
  return state_->Busy;
}
void TBackupFile::Stop() {
  state_->Continue = false;
}
int32_t TBackupFile::FileCount() const {
  return state_->FileCount;
}
int64_t TBackupFile::TotalSize() const {
  return state_->TotalSize;
}
int32_t TBackupFile::FilesDone() const {
  return state_->FilesDone;
}
int64_t TBackupFile::BytesDone() const {
  return state_->BytesDone;
}
int64_t TBackupFile::ArchiveBytes() const {
  return state_->ArchiveBytes;
}
const std::string& TBackupFile::CurrentFile() const {
  return state_->CurrentFile;
}
int32_t TBackupFile::ErrorCode() const {
  return state_->Failure.Code;
}
TFailure TBackupFile::Failure() const {
  return state_->Failure;
}
const std::string& TBackupFile::ErrorReason() const {
  return state_->Failure.Reason;
}
const TStringList& TBackupFile::ChangedFiles() const {
  return state_->ChangedFiles;
}
const std::vector<TFailure>& TBackupFile::Unreadable() const {
  return state_->Unreadable;
}
int32_t TBackupFile::HiddenFolders() const {
  return state_->HiddenFolders;
}
const std::vector<TDamage>& TBackupFile::Damages() const {
  return state_->Damages;
}
bool TBackupFile::Incomplete() const {
  return state_->Incomplete;
}
TCompanionState TBackupFile::CompanionState() const {
  return state_->Companion;
}
const TRepairReport& TBackupFile::RepairResult() const {
  return state_->Repair;
}

RunContext::RunContext(TBackupFile& Engine, Start How)
    : engine_(Engine), state_(How == Start::Fresh ? std::make_shared<RunState>() : Engine.state_) {
  engine_.state_ = state_;
}

void RunContext::Publish() {
  engine_.state_ = state_;
}

void RunContext::NoteFailure(TBackupError Code, std::string Subject, std::string Reason) {
  state_->Failure = {Code, std::move(Subject), std::move(Reason)};
}

void RunContext::Fail(TBackupError Code, std::string Subject, std::string Reason) {
  NoteFailure(Code, std::move(Subject), std::move(Reason));
  state_->Continue = false;
}

void RunContext::NoteUnreadable(const std::string& Subject, const std::exception& Why) {
  const auto* read = dynamic_cast<const EStreamError*>(&Why);
  NoteFailure(beCannotReadArchive, Subject,
              read != nullptr && read->SystemError() != 0 ? platform::ErrorText(read->SystemError())
                                                          : std::string());
}

bool RunContext::ArchiveThere(const std::string& ArchiveName) {
  if (platform::FileExists(ArchiveName)) return true;
  TFailure why = CheckArchiveFile(ArchiveName);
  // Gone and back between the two looks: still no archive to read now.
  if (why.Code == beNone) why = {beCannotReadArchive, ArchiveName, {}};
  Fail(why.Code, why.Subject, why.Reason);
  engine_.MessageError(why.Code);
  return false;
}

void RunContext::ProcessMessages() {
  if (engine_.Hooks.ProcessMessages) engine_.Hooks.ProcessMessages();
}

void RunContext::ReportProgress(const std::string& Filename) {
  ReportProgress(Filename, PercentOf(state_->BytesDone, state_->TotalSize));
}

void RunContext::ReportProgress(const std::string& Filename, TPercentage Percent) {
  if (engine_.OnProgress) engine_.OnProgress(engine_, Filename, Percent, state_->Continue);
}

void RunContext::ReportDamage(TDamage Damage) {
  state_->Damages.push_back(std::move(Damage));
  if (engine_.OnDamage) engine_.OnDamage(engine_, state_->Damages.back());
}

void RunContext::NoteCompanion(const TCompanionNote& Note) {
  state_->Companion = Note.State;
  if (Note.State != csNone && Note.State != csSound && engine_.OnCompanion)
    engine_.OnCompanion(engine_, Note);
}

void RunContext::AskForDisk(uint16_t Disk) {
  engine_.NeededVolumeFile.clear();
  if (engine_.OnNeedDisk) {
    engine_.OnNeedDisk(engine_, Disk, state_->Continue);
    return;
  }
  std::string text = kNeedDiskText;
  text.replace(text.find("%s"), 2, std::to_string(Disk));
  state_->Continue =
      engine_.Hooks.AskOkCancel ? engine_.Hooks.AskOkCancel("Information", text) : false;
}

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the main window does when the user works it: the Backup, Restore and
// Stop buttons, the pickers, the option controls and the engine's events.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <optional>
#include <stdexcept>

#include "app/application.h"
#include "app/archive_window.h"
#include "app/ini_file.h"
#include "app/main_window.h"
#include "app/paths.h"
#include "kelmora/helpers.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"

namespace kelmora::app {

namespace {

// Bytes per unit of the size list: Kb, Mb, Gb.
constexpr int64_t kSizeUnits[] = {1024, 1048576, 1073741824};

// The list shows the levels in an order of its own.
constexpr TCompressionLevel kLevels[] = {clDefault, clFastest, clMax, clNone};
constexpr TRestoreMode kModes[] = {rmAll, rmNoOverwrite, rmNewer, rmExisting, rmExistingNewer};

QString Decimal(int64_t Value) {
  return QString::number(Value);
}

}  // namespace

bool TForm1::CheckVolumeSize(int UnitIndex) {
  if (!Values.LimitSize || IsWorkableVolumeSize(VolumeBytes)) return true;
  QString text;
  if (UnitIndex >= 0 && UnitIndex < static_cast<int>(std::size(kSizeUnits))) {
    const int64_t factor = kSizeUnits[UnitIndex];
    const int64_t smallest = (kSmallestVolumeSize + factor - 1) / factor;
    const int64_t largest = kLargestVolumeSize / factor;
    text = Text("Message->VolumeSize")
               .arg(Decimal(Values.SizeValue), ComboBoxSize->itemText(UnitIndex), Decimal(smallest),
                    Decimal(largest));
  } else {
    text =
        Text("Message->VolumeBytes")
            .arg(Decimal(VolumeBytes), Decimal(kSmallestVolumeSize), Decimal(kLargestVolumeSize));
  }
  Dialogs.ShowError(ApplicationTitle(), text);
  return false;
}

void TForm1::ButtonBackupClick() {
  if (BackupEngine.Busy()) return;
  SourceList.clear();
  SourceSpec = QString::fromStdString(
      FolderSpecification(Values.BackupFolder.toStdString(), CheckBoxSubDirs->isChecked()));
  SourceList.push_back(SourceSpec.toStdString());
  BackupEngine.IncludeHidden = Values.Hidden;
  if (Values.LevelIndex >= 0 && Values.LevelIndex < static_cast<int32_t>(std::size(kLevels)))
    BackupEngine.CompressionLevel = kLevels[Values.LevelIndex];
  BackupEngine.Threads = 0;  // every processor; the archive is the same
  const int unitIndex = ComboBoxSize->currentIndex();
  if (unitIndex >= 0 && unitIndex < static_cast<int>(std::size(kSizeUnits)))
    VolumeBytes = int64_t{Values.SizeValue} * kSizeUnits[unitIndex];
  if (!CheckVolumeSize(unitIndex)) return;
  BackupEngine.MaxSize = Values.LimitSize ? static_cast<int32_t>(VolumeBytes) : 0;
  // Modes, links, exact times, sizes and block checksums go beside it.
  BackupEngine.WriteCompanion = true;
  BackupEngine.RecoveryPercent = static_cast<uint8_t>(Values.RecoveryPercent);

  const std::string archive = Values.BackupFileName.toStdString();
  PrepareRun(TOperation::Backup, archive, this);
  RunOperation([&] { return BackupEngine.Backup(SourceList, archive); });
  // A contents window of the archive shows the one just written.
  if (lastOutcome_.End != TRunEnd::Completed) return;
  const QString written = QFileInfo(Values.BackupFileName).absoluteFilePath();
  for (TArchiveWindow* window : ArchiveWindows())
    if (window->Archive() == written) window->Load();
}

void TForm1::ButtonRestoreClick() {
  if (BackupEngine.Busy()) return;
  // Said before any run, in the window's own words for what stands there;
  // left at that, the status line would go on showing the previous run's
  // summary.
  if (const TArchiveObstacle obstacle = ArchiveReadable(Values.BackupFileName);
      obstacle != aoNone) {
    const QString kind = obstacle == aoMissing ? QStringLiteral("Status->ArchiveNotFound")
                                               : QStringLiteral("Status->ArchiveUnusable");
    ShowStatus([this, kind] { return " " + Text("Status->Error").arg(Text(kind)); });
    CGauge1->SetProgress(CGauge1->MinValue());
    return;
  }
  BackupEngine.RestoreFullPath = true;
  BackupEngine.RestoreBaseFolder.clear();
  BackupEngine.Threads = 0;  // every processor; the files and events are the same
  if (Values.ModeIndex >= 0 && Values.ModeIndex < static_cast<int32_t>(std::size(kModes)))
    BackupEngine.RestoreMode = kModes[Values.ModeIndex];
  // One level only, and a failure is left to the restore to meet.
  if (!QFileInfo(Values.RestoreFolder).isDir()) QDir().mkdir(Values.RestoreFolder);

  const std::string archive = Values.BackupFileName.toStdString();
  const std::string folder = Values.RestoreFolder.toStdString();
  PrepareRun(TOperation::Restore, archive, this);
  // Every file, each counted as the restore reaches it.
  FilterRestore(nullptr, {});
  RunOperation([&] { return BackupEngine.Restore(archive, folder); });
}

void TForm1::MRecoveryClick(int32_t Percent) {
  Values.RecoveryPercent = Percent;
}

void TForm1::ButtonStopClick() {
  // A listing is no engine operation, yet Stop ends it too.
  if (!BackupEngine.Busy() && running_ == TOperation::None) return;
  if (Dialogs.AskYesNo(Text("Message->ConfirmCaption"), Text("Message->ConfirmStop"))) {
    stopRequested_ = true;
    BackupEngine.Stop();
  }
}

// A line break cannot be stored in the settings file: the name would come
// back cut short at the next start and silently stand for another path.
bool TForm1::RefuseUnstorableName(const QString& Path) {
  if (!Path.contains('\n') && !Path.contains('\r')) return false;
  Dialogs.ShowError(ApplicationTitle(), Text("Message->LineBreak"));
  return true;
}

void TForm1::ButtonBackupFileClick() {
  const QString chosen = Dialogs.AskSaveFile(
      ExtractFilePath(Values.BackupFileName),
      RemoveExtension(QFileInfo(Values.BackupFileName).fileName()), SaveDialogFilter);
  if (chosen.isEmpty() || RefuseUnstorableName(chosen)) return;
  // Picking an existing archive hands back its full name.
  Values.BackupFileName =
      chosen.endsWith(QStringLiteral(".bkp"), Qt::CaseInsensitive) ? chosen : chosen + ".bkp";
  EditBackupFile->setText(Values.BackupFileName);
}

bool TForm1::PickFolder(QLineEdit* Edit, QString& Value) {
  FolderDialog1->SetCaption(Text("FolderDialog1->Caption"));
  FolderDialog1->SetDirectory(Edit->text());
  // On Cancel the chooser may still have replaced a missing folder with the
  // current one; that is no choice of the user's.
  if (!ExecuteFolderDialog()) return false;
  QString folder = FolderDialog1->Directory();
  if (folder.isEmpty() || RefuseUnstorableName(folder)) return false;
  if (!folder.endsWith('/')) folder += '/';
  Edit->setText(folder);
  Value = folder;
  return true;
}

void TForm1::ButtonBackupFolderClick() {
  if (!PickFolder(EditBackupFolder, Values.BackupFolder)) return;
  if (EditRestoreFolder->text().isEmpty()) {
    EditRestoreFolder->setText(EditBackupFolder->text());
    Values.RestoreFolder = EditRestoreFolder->text();
  }
}

void TForm1::ButtonRestoreFolderClick() {
  PickFolder(EditRestoreFolder, Values.RestoreFolder);
}

void TForm1::ComboBoxCompressionLevelChange() {
  Values.LevelIndex = ComboBoxCompressionLevel->currentIndex();
}

void TForm1::ComboBoxRestoreModeChange() {
  Values.ModeIndex = ComboBoxRestoreMode->currentIndex();
}

void TForm1::ComboBoxSizeChange() {
  Values.SizeUnit = ComboBoxSize->currentIndex();
}

void TForm1::EditSizeChange() {
  const QString text = EditSize->text();
  if (text.isEmpty()) return;
  int32_t value = 0;
  if (!ParseInt32(text, value))
    throw std::invalid_argument(Text("Message->NotAnInteger").arg(text).toStdString());
  Values.SizeValue = value;
}

void TForm1::CheckBoxSizeClick() {
  Values.LimitSize = CheckBoxSize->isChecked();
  EditSize->setEnabled(Values.LimitSize);
  ComboBoxSize->setEnabled(Values.LimitSize);
}

void TForm1::CheckBoxSubDirsClick() {
  Values.SubDirs = CheckBoxSubDirs->isChecked();
}

void TForm1::CheckBoxHiddenClick() {
  Values.Hidden = CheckBoxHidden->isChecked();
}

QString TForm1::FailureText(int32_t Code) const {
  // The record may be that of another code (a warning noted before the
  // failure); its file would then be named for the wrong reason.
  const TFailure failure = BackupEngine.Failure();
  if (failure.Code != Code) return ErrorText(Code);
  return DescribeFailure(failure, ErrorTextSource());
}

void TForm1::EngineError(TBackupFile& Sender, int32_t Error, const std::string&) {
  // A listing says itself why an archive could not be read.
  if (running_ == TOperation::List || ListedAfterRun(Sender, Error)) return;
  if (Sender.Failure().Code == Error && RefusedInUse()) return;
  if (*ErrorMessage(Error)) Dialogs.ShowMessage(ApplicationTitle(), FailureText(Error));
}

bool TForm1::RefusedInUse() {
  const TFailure failure = BackupEngine.Failure();
  if (failure.Reason != kArchiveInUse) return false;
  Dialogs.ShowError(ApplicationTitle(),
                    Text("Message->ArchiveInUse").arg(QString::fromStdString(failure.Subject)));
  return true;
}

}  // namespace kelmora::app

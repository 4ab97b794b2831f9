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

// Marks an operation as running for as long as its command runs, with the
// commands that must not run meanwhile switched off. A close asked for
// meanwhile is completed by Guard once the command is over.
class TForm1::OperationScope {
 public:
  OperationScope(TForm1& Form, TOperation Operation, const std::string& Archive) : form_(Form) {
    form_.running_ = Operation;
    form_.runningArchive_ = Archive;
    form_.SetRunning(true);
  }
  ~OperationScope() {
    form_.running_ = TOperation::None;
    form_.SetRunning(false);
  }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  TForm1& form_;
};

void TForm1::SetRunning(bool Running) {
  QWidget* const commands[] = {ButtonBackup, ButtonRestore, ButtonBackupFile, ButtonBackupFolder,
                               ButtonRestoreFolder};
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

void TForm1::RunOperation(TOperation Operation, const std::string& Archive,
                          const std::function<bool()>& Run) {
  FileCounter = 0;
  LastFileName.clear();
  cancelled_ = false;
  bool completed = false;
  try {
    OperationScope scope(*this, Operation, Archive);
    completed = Run();
  } catch (const std::exception& error) {
    // Guard shows the message; the status line says the run failed.
    ShowOutcome(Operation, false, EngineText(error.what()));
    throw;
  }
  ShowOutcome(Operation, completed, std::nullopt);
}

void TForm1::ShowOutcome(TOperation Operation, bool Completed,
                         const std::optional<QString>& ExceptionText) {
  const int32_t done = BackupEngine.FilesDone();
  const int32_t count = BackupEngine.FileCount();
  QString line;
  if (ExceptionText) {
    // The counts may still be those of an earlier run, and no final
    // progress came: the gauge stays where the run got to.
    SetStatus(" " + Text("Status->Error").arg(*ExceptionText));
    return;
  }
  // A run that completed may still carry a code that only warns (a file
  // that changed while it was read); its box has told of it already.
  if (Completed && Operation == TOperation::Backup) {
    line = Text("Status->Backup")
               .arg(Decimal(count), Decimal(BackupEngine.TotalSize()),
                    Decimal(BackupEngine.CompressionRate()));
  } else if (Completed) {
    line = Text("Status->Restore").arg(Decimal(count), Decimal(BackupEngine.TotalSize()));
  } else if (BackupEngine.ErrorCode() != 0) {
    line = Text("Status->Failed")
               .arg(FailureText(BackupEngine.ErrorCode()), Decimal(done), Decimal(count));
  } else if (cancelled_) {
    line = Text("Status->Cancelled").arg(Decimal(done), Decimal(count));
  } else {
    line = Text("Status->Stopped").arg(Decimal(done), Decimal(count));
  }
  SetStatus(" " + line);
  // The engine's closing progress reads 100 however the run ended; an
  // unfinished run shows the share of the bytes it got through instead.
  const int64_t range = int64_t{CGauge1->MaxValue()} - CGauge1->MinValue();
  const int percent =
      Completed ? 100 : PercentOf(BackupEngine.BytesDone(), BackupEngine.TotalSize());
  CGauge1->SetProgress(static_cast<int>(CGauge1->MinValue() + range * percent / 100));
}

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
  SourceSpec = Values.BackupFolder + "*.*";
  if (CheckBoxSubDirs->isChecked()) SourceSpec += " /s";
  SourceList.push_back(SourceSpec.toStdString());
  if (Values.LevelIndex >= 0 && Values.LevelIndex < static_cast<int32_t>(std::size(kLevels)))
    BackupEngine.CompressionLevel = kLevels[Values.LevelIndex];
  BackupEngine.Threads = 0;  // every processor; the archive is the same
  const int unitIndex = ComboBoxSize->currentIndex();
  if (unitIndex >= 0 && unitIndex < static_cast<int>(std::size(kSizeUnits)))
    VolumeBytes = int64_t{Values.SizeValue} * kSizeUnits[unitIndex];
  if (!CheckVolumeSize(unitIndex)) return;
  BackupEngine.MaxSize = Values.LimitSize ? static_cast<int32_t>(VolumeBytes) : 0;

  const std::string archive = Values.BackupFileName.toStdString();
  RunOperation(TOperation::Backup, archive,
               [&] { return BackupEngine.Backup(SourceList, archive); });
}

void TForm1::ButtonRestoreClick() {
  if (BackupEngine.Busy()) return;
  // The engine returns quietly for a missing archive; left at that, the
  // status line would go on showing the previous run's summary.
  if (!QFileInfo(Values.BackupFileName).isFile()) {
    SetStatus(" " + Text("Status->Error").arg(Text("Status->ArchiveNotFound")));
    CGauge1->SetProgress(CGauge1->MinValue());
    Dialogs.ShowError(ApplicationTitle(),
                      Text("Message->ArchiveNotFound").arg(Values.BackupFileName));
    return;
  }
  BackupEngine.RestoreFullPath = true;
  BackupEngine.Threads = 0;  // every processor; the files and events are the same
  if (Values.ModeIndex >= 0 && Values.ModeIndex < static_cast<int32_t>(std::size(kModes)))
    BackupEngine.RestoreMode = kModes[Values.ModeIndex];
  // One level only, and a failure is left to the restore to meet.
  if (!QFileInfo(Values.RestoreFolder).isDir()) QDir().mkdir(Values.RestoreFolder);

  const std::string archive = Values.BackupFileName.toStdString();
  const std::string folder = Values.RestoreFolder.toStdString();
  RunOperation(TOperation::Restore, archive, [&] { return BackupEngine.Restore(archive, folder); });
}

void TForm1::ButtonStopClick() {
  if (!BackupEngine.Busy()) return;
  if (Dialogs.AskYesNo(Text("Message->ConfirmCaption"), Text("Message->ConfirmStop")))
    BackupEngine.Stop();
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

void TForm1::EngineProgress(TBackupFile& Sender, const std::string& Filename, TPercentage, bool&) {
  // The opening and closing events name no file.
  if (!Filename.empty() && Filename != LastFileName) ++FileCounter;
  LastFileName = Filename;
  const int32_t count = Sender.FileCount();
  if (count > 0) {
    // 64-bit, so that millions of files cannot overflow the product.
    CGauge1->SetProgress(static_cast<int>(int64_t{CGauge1->MaxValue()} * FileCounter / count));
  }
  SetStatus(" " + QString::fromStdString(Filename));
}

void TForm1::EngineNeedDisk(TBackupFile&, uint16_t DiskID, bool& Continue) {
  // A backup simply goes on into the next volume file beside the first.
  if (running_ != TOperation::Restore) return;
  const std::string next = VolumeFileName(runningArchive_, DiskID);
  if (QFileInfo(QString::fromStdString(next)).isFile()) return;
  // The engine looks again after every answer; ask each time rather than
  // let it spin on a missing file.
  Continue = Dialogs.AskOkCancel(Text("Message->InformationCaption"),
                                 Text("Message->NextVolume").arg(QString::fromStdString(next)));
  if (!Continue) cancelled_ = true;
}

QString TForm1::FailureText(int32_t Code) const {
  QString text = EngineText(ErrorMessage(Code));
  // The record may be that of another code (a warning noted before the
  // failure); its file would then be named for the wrong reason.
  const TFailure failure = BackupEngine.Failure();
  if (failure.Code != Code) return text;
  // Names and the system's words are shown as they came, untranslated.
  if (!failure.Subject.empty()) text += ": " + QString::fromStdString(failure.Subject);
  if (!failure.Reason.empty()) text += ": " + QString::fromStdString(failure.Reason);
  return text;
}

void TForm1::EngineError(TBackupFile&, int32_t Error, const std::string&) {
  if (*ErrorMessage(Error)) Dialogs.ShowMessage(ApplicationTitle(), FailureText(Error));
}

}  // namespace kelmora::app

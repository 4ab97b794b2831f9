// What the main window does when the user works it: the Backup, Restore and
// Stop buttons, the pickers, the option controls and the engine's events.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "app/application.h"
#include "app/ini_file.h"
#include "app/main_window.h"
#include "app/paths.h"
#include "engine/archive_format.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"

namespace kelmora::app {

namespace {

const QString kBusyText =
    QStringLiteral("A backup or restore is running. Wait until it ends, or press Stop first.");

struct TSizeUnit {
  const char* Name;
  int64_t Factor;
};
constexpr TSizeUnit kSizeUnits[] = {{"Kb", 1024}, {"Mb", 1048576}, {"Gb", 1073741824}};

// The list shows the levels in an order of its own.
constexpr TCompressionLevel kLevels[] = {clDefault, clFastest, clMax, clNone};
constexpr TRestoreMode kModes[] = {rmAll, rmNoOverwrite, rmNewer, rmExisting, rmExistingNewer};

// A volume must leave room for a chunk below the writer's reserve, and its
// byte count must fit the engine's signed 32-bit limit.
constexpr int64_t kSmallestVolume = format::kSmallestMaxSize;
constexpr int64_t kLargestVolume = std::numeric_limits<int32_t>::max();

bool IsWorkableVolume(int64_t bytes) {
  return bytes == 0 || (bytes >= kSmallestVolume && bytes <= kLargestVolume);
}

QString Decimal(int64_t value) {
  return QString::number(value);
}

}  // namespace

// Marks an operation as running for as long as its command runs. A close
// asked for meanwhile is completed by Guard once the command is over.
class TForm1::OperationScope {
 public:
  OperationScope(TForm1& form, TOperation operation, const std::string& archive) : form_(form) {
    form_.running_ = operation;
    form_.runningArchive_ = archive;
  }
  ~OperationScope() { form_.running_ = TOperation::None; }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  TForm1& form_;
};

bool TForm1::RefuseWhileBusy() {
  if (!BackupEngine.Busy()) return false;
  Dialogs.ShowMessage(ApplicationTitle(), kBusyText);
  return true;
}

bool TForm1::CheckVolumeSize(int unitIndex) {
  if (!Values.LimitSize || IsWorkableVolume(VolumeBytes)) return true;
  QString text;
  if (unitIndex >= 0 && unitIndex < static_cast<int>(std::size(kSizeUnits))) {
    const TSizeUnit& unit = kSizeUnits[unitIndex];
    const int64_t smallest = (kSmallestVolume + unit.Factor - 1) / unit.Factor;
    const int64_t largest = kLargestVolume / unit.Factor;
    text = QStringLiteral(
               "The volume size %1 %2 cannot be used. Enter a size from %3 to %4 %2, or 0 for "
               "a single volume of any size.")
               .arg(Decimal(Values.SizeValue), QString::fromLatin1(unit.Name), Decimal(smallest),
                    Decimal(largest));
  } else {
    text = QStringLiteral(
               "The volume size of %1 bytes cannot be used. Choose a size from %2 to %3 bytes, "
               "or 0 for a single volume of any size.")
               .arg(Decimal(VolumeBytes), Decimal(kSmallestVolume), Decimal(kLargestVolume));
  }
  Dialogs.ShowError(ApplicationTitle(), text);
  return false;
}

void TForm1::ButtonBackupClick() {
  if (RefuseWhileBusy()) return;
  FileCounter = 0;
  SourceList.clear();
  SourceSpec = Values.BackupFolder + "*.*";
  if (CheckBoxSubDirs->isChecked()) SourceSpec += " /s";
  SourceList.push_back(SourceSpec.toStdString());
  if (Values.LevelIndex >= 0 && Values.LevelIndex < static_cast<int32_t>(std::size(kLevels)))
    BackupEngine.CompressionLevel = kLevels[Values.LevelIndex];
  BackupEngine.Threads = 0;  // every processor; the archive is the same
  const int unitIndex = ComboBoxSize->currentIndex();
  if (unitIndex >= 0 && unitIndex < static_cast<int>(std::size(kSizeUnits)))
    VolumeBytes = int64_t{Values.SizeValue} * kSizeUnits[unitIndex].Factor;
  if (!CheckVolumeSize(unitIndex)) return;
  BackupEngine.MaxSize = Values.LimitSize ? static_cast<int32_t>(VolumeBytes) : 0;

  const std::string archive = Values.BackupFileName.toStdString();
  {
    OperationScope scope(*this, TOperation::Backup, archive);
    BackupEngine.Backup(SourceList, archive);
  }
  SetStatus(QStringLiteral(" Files: %1 - Size: %2 - Compression Rate: %3")
                .arg(Decimal(BackupEngine.FileCount()), Decimal(BackupEngine.TotalSize()),
                     Decimal(BackupEngine.CompressionRate())));
}

void TForm1::ButtonRestoreClick() {
  if (RefuseWhileBusy()) return;
  FileCounter = 0;
  BackupEngine.RestoreFullPath = true;
  if (Values.ModeIndex >= 0 && Values.ModeIndex < static_cast<int32_t>(std::size(kModes)))
    BackupEngine.RestoreMode = kModes[Values.ModeIndex];
  // One level only, and a failure is left to the restore to meet.
  if (!QFileInfo(Values.RestoreFolder).isDir()) QDir().mkdir(Values.RestoreFolder);

  const std::string archive = Values.BackupFileName.toStdString();
  {
    OperationScope scope(*this, TOperation::Restore, archive);
    BackupEngine.Restore(archive, Values.RestoreFolder.toStdString());
  }
  SetStatus(QStringLiteral(" Files: %1 - Size: %2")
                .arg(Decimal(BackupEngine.FileCount()), Decimal(BackupEngine.TotalSize())));
}

void TForm1::ButtonStopClick() {
  if (!BackupEngine.Busy()) return;
  if (Dialogs.AskYesNo(QStringLiteral("Confirm"),
                       QStringLiteral("Do you want to abort the operation")))
    BackupEngine.Stop();
}

// A line break cannot be stored in the settings file: the name would come
// back cut short at the next start and silently stand for another path.
bool TForm1::RefuseUnstorableName(const QString& path) {
  if (!path.contains('\n') && !path.contains('\r')) return false;
  Dialogs.ShowError(ApplicationTitle(),
                    QStringLiteral("A name with a line break cannot be kept in the settings "
                                   "file. Choose or rename another."));
  return true;
}

void TForm1::ButtonBackupFileClick() {
  const QString chosen = Dialogs.AskSaveFile(
      ExtractFilePath(Values.BackupFileName),
      RemoveExtension(QFileInfo(Values.BackupFileName).fileName()), SaveDialogFilter);
  if (chosen.isEmpty() || RefuseUnstorableName(chosen)) return;
  Values.BackupFileName = chosen + ".bkp";
  EditBackupFile->setText(Values.BackupFileName);
}

bool TForm1::PickFolder(QLineEdit* edit, QString& value) {
  FolderDialog1->SetCaption(QStringLiteral("Select Directory"));
  FolderDialog1->SetDirectory(edit->text());
  ExecuteFolderDialog();
  QString folder = FolderDialog1->Directory();
  if (folder.isEmpty() || RefuseUnstorableName(folder)) return false;
  if (!folder.endsWith('/')) folder += '/';
  edit->setText(folder);
  value = folder;
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
    throw std::invalid_argument(
        QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
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
  if (Filename != LastFileName) ++FileCounter;
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
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(DiskID % 1000));
  const std::string next = format::NextVolumeName(runningArchive_, digits);
  if (QFileInfo(QString::fromStdString(next)).isFile()) return;
  // The engine looks again after every answer; ask each time rather than
  // let it spin on a missing file.
  Continue = Dialogs.AskOkCancel(
      QStringLiteral("Information"),
      QStringLiteral("The next volume of the archive, %1, was not found. Put it there and click "
                     "OK to look again, or click Cancel to stop the restore.")
          .arg(QString::fromStdString(next)));
}

void TForm1::EngineError(TBackupFile&, int32_t Error, const std::string&) {
  const char* message = ErrorMessage(Error);
  if (*message) Dialogs.ShowMessage(ApplicationTitle(), QString::fromUtf8(message));
}

}  // namespace kelmora::app

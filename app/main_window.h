// SPDX-License-Identifier: GPL-3.0-or-later
//
// TForm1: the main window. It owns the backup engine for its whole life,
// keeps the window values between runs in the settings file, turns the
// user's choices into engine calls and shows what comes back.
#pragma once

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/dialogs.h"
#include "app/run_outcome.h"
#include "app/run_view.h"
#include "app/settings.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDragEnterEvent;
class QDropEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStatusBar;
class QTranslator;

namespace kelmora::widgets {
class TCGauge;
class TFolderDialog;
class TWinXP;
}  // namespace kelmora::widgets

namespace kelmora::app {

class TAboutBox;
class TArchiveWindow;

class TForm1 : public QMainWindow, public TRunView {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 450;
  static constexpr int kClientHeight = 251;
  static inline const QString kCaption = QStringLiteral("Kelmora 1.0");

  // SettingsFile is the settings file (kept as SettingsPath); ProgramFolder
  // the folder of the executable (kept as AppFolder: the language folder
  // and the defaults start from it).
  TForm1(const QString& SettingsFile, const QString& ProgramFolder, QWidget* Parent = nullptr);
  ~TForm1() override;

  // ---- controls
  QLabel* LabelBackupFile;
  QLineEdit* EditBackupFile;
  QPushButton* ButtonBackupFile;
  QLabel* LabelBackupFolder;
  QLineEdit* EditBackupFolder;
  QPushButton* ButtonBackupFolder;
  QLabel* LabelRestoreFolder;
  QLineEdit* EditRestoreFolder;
  QPushButton* ButtonRestoreFolder;
  QGroupBox* GroupBoxOptions;
  QLabel* LabelCompressionLevel;
  QComboBox* ComboBoxCompressionLevel;
  QLabel* LabelRestoreMode;
  QComboBox* ComboBoxRestoreMode;
  QCheckBox* CheckBoxSubDirs;
  QCheckBox* CheckBoxHidden;  // hidden folders too (names beginning with ".")
  QLineEdit* EditSize;
  QComboBox* ComboBoxSize;
  QCheckBox* CheckBoxSize;
  widgets::TCGauge* CGauge1;
  QPushButton* ButtonBackup;
  QPushButton* ButtonRestore;
  QPushButton* ButtonStop;
  QStatusBar* StatusBar1;
  QLabel* StatusText;  // the status bar's one simple text

  // ---- menu
  QAction* MFile;
  QAction* MOpenArchive;   // a file dialog, then a contents window
  QAction* MShowContents;  // the contents of the archive in the archive field
  QAction* MTestArchive;   // a test of the archive in the archive field
  QAction* MRecent;        // the archives opened last
  QAction* MExit;
  QAction* MSettings;
  QAction* MLanguage;
  QAction* MLangEnglish;
  QAction* MLangRussian;
  // Settings > Recovery Record: none, or a share of the archive's size.
  QAction* MRecovery;
  QList<QAction*> MRecoveryChoices;  // one per kRecoveryChoices entry
  QAction* MHelp;
  QAction* MAbout;

  // ---- non-visual parts
  widgets::TFolderDialog* FolderDialog1;
  QString SaveDialogFilter = QStringLiteral("Backup File (*.bkp)|*.bkp");  // SaveDialog1
  widgets::TWinXP* WinXP1;
  std::unique_ptr<TAboutBox> AboutBox;

  // ---- owned for the window's whole life
  TBackupFile BackupEngine;
  TStringList SourceList;

  // ---- window values
  QString AppFolder;
  QString SettingsPath;
  TWindowValues Values;
  QString SourceSpec;
  int64_t VolumeBytes = 0;
  int32_t FileCounter = 0;
  std::string LastFileName;

  // Questions and messages; tests replace them.
  TDialogs Dialogs;
  // Runs FolderDialog1; tests replace it to answer without a person.
  std::function<bool()> ExecuteFolderDialog;

  QString StatusLine() const;
  // What the last run did, in figures.
  const TRunOutcome& LastOutcome() const { return lastOutcome_; }
  // A run longer than this that ends while no window of the application is
  // active is told of by a desktop notification.
  double NotifyAfterSeconds = 10;

  // The window's own message or status text under Key of the language
  // file: the file's wording, or the English one when the file has none.
  QString Text(const QString& Key) const;
  // A message the engine raised (an error code's text or an exception's),
  // in the interface language when it is one the engine is known to raise.
  QString EngineText(const std::string& Message) const;
  // The engine's error Code as the user reads it: its message in the
  // interface language, then the file or archive it concerns and why, as
  // the engine recorded them ("Cannot write to archive: /b/x.bkp: No space
  // left on device").
  QString FailureText(int32_t Code) const;
  // The engine's error Code's own message, in the interface language:
  // looked up by the code, never by its English wording.
  QString ErrorText(int32_t Code) const;

  // ---- handlers
  void FormShow();
  void FormClose();
  void MExitClick();
  void MAboutClick();
  void MLangEnglishClick();
  void MLangRussianClick();
  void MRecoveryClick(int32_t Percent);
  void ButtonBackupClick();
  void ButtonRestoreClick();
  void ButtonStopClick();
  void ButtonBackupFileClick();
  void ButtonBackupFolderClick();
  void ButtonRestoreFolderClick();
  void ComboBoxCompressionLevelChange();
  void ComboBoxRestoreModeChange();
  void ComboBoxSizeChange();
  void EditSizeChange();
  void CheckBoxSizeClick();
  void CheckBoxSubDirsClick();
  void CheckBoxHiddenClick();
  // What the window shows while a backup walks the folders, before its
  // files are counted: the files found so far, a few times a second.
  void ShowSelection();
  void EngineProgress(TBackupFile& Sender, const std::string& Filename, TPercentage Percent,
                      bool& Continue);
  void EngineNeedDisk(TBackupFile& Sender, uint16_t DiskID, bool& Continue);
  void EngineError(TBackupFile& Sender, int32_t Error, const std::string& ErrString);
  void EngineDamage(TBackupFile& Sender, const TDamage& Damage);
  void EngineNameClash(TBackupFile& Sender, const std::string& Stored, const std::string& Earlier,
                       const std::string& Target);
  void EngineRestoreFile(TBackupFile& Sender, std::string& Filename, int32_t Stamp,
                         bool& DoRestore);

  // ---- archives opened in contents windows
  void MOpenArchiveClick();
  void MShowContentsClick();
  void MTestArchiveClick();
  // Opens Archive in a contents window, or brings its window forward;
  // null (the user told why) when it cannot be read as an archive.
  TArchiveWindow* OpenArchive(const QString& Archive);
  // The archive named on the command line, if any (the program's own name
  // first, as QCoreApplication::arguments gives them).
  void OpenFromCommandLine(const QStringList& Arguments);
  QList<TArchiveWindow*> ArchiveWindows() const;
  // Reads Window's archive into its model; false when nothing of it can be
  // read (the user was told).
  bool ListArchive(TArchiveWindow& Window);
  // Tests Archive, showing the run in View (the main window when null),
  // then lists the damaged files or says the archive is sound.
  void TestArchive(const QString& Archive, TArchiveWindow* From);
  // Asks where, then restores Entries of Window's archive.
  void RestoreChosen(TArchiveWindow& Window, const std::vector<int32_t>& Entries);
  void AddRecentArchive(const QString& Archive);

  // ---- TRunView
  widgets::TCGauge* RunGauge() override;
  void ShowStatus(std::function<QString()> Text) override;
  QWidget* RunWindow() override { return this; }
  QString RestingTitle() const override { return kCaption; }
  void SetRunShown(bool Shown) override;

  // Runs Handler; an exception it raises is shown in an error box.
  void Guard(const std::function<void()>& Handler);
  // The texts of the interface language, as the windows' parts take them.
  TTextSource TextSource() const;
  TEngineText EngineTextSource() const;
  TErrorText ErrorTextSource() const;

  // Applies the language file of Name to every text (see language.cpp).
  void LoadLanguage(const QString& Name);
  // The keys of a language file in the order LoadLanguage applies them.
  QStringList LanguageKeys();
  // The texts those keys set, as they are now, in the same order.
  QStringList InterfaceTexts();

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;

 private:
  enum class TOperation { None, Backup, Restore, Test, List };
  class OperationScope;
  struct TRun;

  // Sets up the next run, shown in View (the main window when null);
  // RunOperation then runs it and says in View's status line and gauge how
  // it ended, in words.
  TRun& PrepareRun(TOperation Operation, const std::string& Archive, TRunView* View);
  void RunOperation(const std::function<bool()>& Run);
  TRunOutcome MakeOutcome(bool Completed, const std::string& Exception) const;
  void ShowOutcome(const TRunOutcome& Outcome);
  // The files a restore or test found damaged or left out, in a box.
  void ShowProblems(const TRunOutcome& Outcome);
  void NotifyIfUnattended(const TRunOutcome& Outcome);
  // Damage, and a file left out because another took its place, are
  // listed file by file once the run is over: the code's box would only
  // say "Compression error" for a read check that failed, or name the last
  // file left out.
  bool ListedAfterRun(TBackupFile& Sender, int32_t Error) const;
  // The run under way, made at its first event when the run began elsewhere.
  TRun& CurrentRun();
  // Counts the files a restore reaches, the chosen ones (all when Chosen is
  // null) and only those.
  void FilterRestore(const std::vector<std::string>* Chosen,
                     std::function<int64_t(const std::string&)> Expected);
  void StartProgress(TBackupFile& Sender);
  void ShowProgress(bool Now);
  void RebuildRecentMenu();
  // The commands that would start a second operation, or open a box that
  // pauses the running one, are off while an operation runs.
  void SetRunning(bool Running);
  // Loads Qt's own translations (dialog buttons and the like) for Locale.
  void LoadQtTranslations(const QString& Locale);

  void BuildControls();
  void BuildMenu();
  void SetTabOrder();
  void ConnectHandlers();
  void FormCreate();
  void ShowValues();
  void SelectListItems();

  void SetStatus(const QString& Line);
  bool CheckVolumeSize(int UnitIndex);
  // False when the chooser gave no folder.
  bool PickFolder(QLineEdit* Edit, QString& Value);
  // True (after telling the user) for a name the settings file cannot keep.
  bool RefuseUnstorableName(const QString& Path);
  // True, after telling the user, when the engine's last run was refused
  // because another run (another window, a command) held its archive.
  bool RefusedInUse();
  // aoNone when Archive may be read as an archive; otherwise what stands
  // there, after telling the user what stands there instead (nothing, a folder, a
  // device, no permission, an empty or foreign file), in the interface
  // language, chosen by the engine's kind of obstacle.
  TArchiveObstacle ArchiveReadable(const QString& Archive);

  TOperation running_ = TOperation::None;
  QString statusLine_;  // the whole line; the status bar may show it shortened
  std::string runningArchive_;
  bool closeRequested_ = false;
  bool settingsWritten_ = false;
  bool cancelled_ = false;
  QPointer<QWidget> focusBeforeRun_;
  QHash<QString, QString> texts_;
  std::unique_ptr<QTranslator> qtTranslator_;
  std::function<QString()> statusText_;
  std::unique_ptr<TRun> run_;
  TRunOutcome lastOutcome_;
  bool stopRequested_ = false;
  QList<QPointer<TArchiveWindow>> archiveWindows_;
  QMenu* recentMenu_ = nullptr;
  TPlacement lastPlacement_ = TPlacement::WithFolders;
  QString lastChosenFolder_;
};

// Sets the caption of an automatically sized label: the label's width
// follows its text, as the window's labels do.
void SetLabelCaption(QLabel* Label, const QString& Caption);

}  // namespace kelmora::app

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Interface languages: every text of the window and of the About box can
// be replaced by one read from language/<name>.ini. A caption falls back on
// the text shown at that moment, so a missing file, section or key leaves it
// as it is; a message or status text falls back on its English wording, so
// a language file written before the text existed still works.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QPushButton>
#include <QTranslator>
#include <functional>
#include <vector>

#include "app/about_box.h"
#include "app/archive_window.h"
#include "app/ini_file.h"
#include "app/main_window.h"
#include "app/paths.h"

namespace kelmora::app {

namespace {

const QString kLanguageSection = QStringLiteral("Interface");

struct TMessageText {
  const char* Key;
  const char* English;
};

// The engine's error codes 1 to 10 in order, then the messages of the
// exceptions it raises: their English wording is the engine's own, which
// is how EngineText recognises them.
constexpr TMessageText kEngineTexts[] = {
    {"Error->CannotReadFile", "Cannot read file"},
    {"Error->OverwriteFailed", "Overwriting file failed"},
    {"Error->CannotReadArchive", "Cannot read archive"},
    {"Error->CannotWriteArchive", "Cannot write to archive"},
    {"Error->InvalidArchive", "Invalid archive type"},
    {"Error->Compression", "Compression error"},
    {"Error->TempFile", "Cannot create temporary file to save the file IDs"},
    {"Error->FileChanged", "File changed while it was read"},
    {"Error->FilesLeftOut", "Files that could not be read were left out"},
    {"Error->NothingSelected", "No file selected in folder"},
    {"Error->CannotCreateFolder", "Cannot create folder"},
    {"Error->StreamRead", "Stream read error"},
    {"Error->StreamWrite", "Stream write error"},
};
// Carries the file's name after it.
constexpr TMessageText kCannotOpenFile = {"Error->CannotOpenFile", "Cannot open file %1"};

constexpr TMessageText kWindowTexts[] = {
    {"Language->Locale", "en"},
    {"FolderDialog1->Caption", "Select Directory"},
    {"Message->ConfirmCaption", "Confirm"},
    {"Message->ConfirmStop", "Do you want to abort the operation"},
    {"Message->InformationCaption", "Information"},
    {"Message->MissingVolume",
     "Volume %1 of the archive was not found: %2. Put it there and click OK, pick it in another "
     "folder with Browse..., or click Cancel to stop."},
    {"Message->Browse", "&Browse..."},
    {"Message->VolumeSize",
     "The volume size %1 %2 cannot be used. Enter a size from %3 to %4 %2, or 0 for a single "
     "volume of any size."},
    {"Message->VolumeBytes",
     "The volume size of %1 bytes cannot be used. Choose a size from %2 to %3 bytes, or 0 for a "
     "single volume of any size."},
    {"Message->LineBreak",
     "A name with a line break cannot be kept in the settings file. Choose or rename another."},
    {"Message->NotAnInteger", "'%1' is not a valid integer value"},
    {"Message->ArchiveNotFound", "The archive %1 was not found."},
    {"Message->ArchiveIsFolder", "%1 is a folder, not an archive. Choose the archive file in it."},
    {"Message->ArchiveNotRegular",
     "%1 is not a regular file (a device, a pipe or a socket), so it cannot be read as an "
     "archive."},
    {"Message->ArchiveNoPermission",
     "The archive %1 may not be read: you lack the permission for it or for a folder on its "
     "path."},
    {"Message->ArchiveUnreadable", "The archive %1 cannot be read: %2"},
    {"Message->ArchiveEmpty", "%1 is empty, so it is not a Kelmora archive."},
    {"Message->NotKelmoraArchive", "%1 is not a Kelmora archive."},
    {"Message->ArchiveInUse",
     "The archive %1 is in use by another Kelmora run, in another window or a command. Nothing "
     "was done; start again when that run has ended."},
    {"Message->NotAnArchive", "%1 cannot be read as an archive: %2"},
    {"Message->NothingChosen",
     "No file is shown, so none can be restored. Clear the filter or choose files."},
    {"Message->NoFolder", "Choose a folder to restore into."},
    {"Message->Sound", "The archive %1 is sound: %2 files checked."},
    {"Message->SettingsNotWritten", "Unable to write to %1"},
    {"Open->Caption", "Open Archive"},
    {"Open->Filter", "Backup File (*.bkp)|*.bkp|All Files|*"},
    {"Status->Error", "Failed: %1"},
    {"Status->ArchiveNotFound", "archive not found"},
    {"Status->ArchiveUnusable", "the archive cannot be read"},
    {"Outcome->Backup", "Files backed up: %1 (%2) - archive: %3, %4 - volumes: %5"},
    {"Outcome->Smaller", "%1 smaller"},
    {"Outcome->Larger", "%1 larger"},
    {"Outcome->BackupAfter", "%1 of %2 files read"},
    {"Outcome->HiddenLeftOut", "hidden folders left out: %1"},
    {"Status->Selecting", "Selecting files: %1"},
    {"Outcome->NoArchive", "no archive was written"},
    {"Outcome->OlderArchiveKept", "no archive was written, the older archive is kept"},
    {"Outcome->Stopped", "Stopped"},
    {"Outcome->Cancelled", "Cancelled: volume %1 is missing"},
    {"Outcome->Restored", "Restored: %1 (%2)"},
    {"Outcome->Kept", "kept: %1"},
    {"Outcome->Damaged", "damaged: %1"},
    {"Outcome->Refused", "refused: %1"},
    {"Outcome->NoCompanion", "no companion: modes, links and exact times not restored"},
    {"Outcome->TestSound", "Archive sound: %1 files checked (%2)"},
    {"Outcome->TestDamaged", "Archive damaged: %1 of %2 files"},
    {"Outcome->Incomplete", "the archive is cut short"},
    {"Outcome->Checked", "%1 files checked"},
    {"Progress->Title", "%1 - %2"},
    {"Progress->Left", "%1 left"},
    {"Unit->Bytes", "%1 B"},
    {"Unit->KB", "%1 KB"},
    {"Unit->MB", "%1 MB"},
    {"Unit->GB", "%1 GB"},
    {"Unit->TB", "%1 TB"},
    {"Unit->PerSecond", "%1/s"},
    {"Unit->Seconds", "%1 s"},
    {"Unit->MinutesSeconds", "%1 min %2 s"},
    {"Unit->HoursMinutes", "%1 h %2 min"},
    {"Unit->Percent", "%1 %"},
    {"Notify->Backup", "Backup: %1"},
    {"Notify->Restore", "Restore: %1"},
    {"Notify->Test", "Test: %1"},
    {"Notify->Done", "done"},
    {"Notify->Stopped", "stopped"},
    {"Notify->Cancelled", "cancelled"},
    {"Notify->Failed", "failed"},
    {"Notify->Damaged", "damaged files found"},
    {"Problems->File", "File"},
    {"Problems->Volume", "Volume"},
    {"Problems->Offset", "Offset"},
    {"Problems->Reason", "Reason"},
    {"Problems->NoFile", "(in no file)"},
    {"Problems->Clash", "%1 was already restored to %2"},
    {"Problems->Restore",
     "These files were not restored: they are damaged, or another file went to their place."},
    {"Problems->OthersRestored", "Every other file was restored."},
    {"Problems->OthersRestoredOrKept",
     "Every other file was restored, or kept as it was by the restore mode."},
    {"Problems->Test",
     "The archive %1 is damaged: the files below cannot be restored as they were stored. Every "
     "other file is sound."},
    {"Problems->Incomplete", "The archive ends before its end marker: it is cut short."},
    {"Contents->Name", "Name"},
    {"Contents->Size", "Size"},
    {"Contents->Packed", "Packed"},
    {"Contents->Date", "Date"},
    {"Contents->Volume", "Volume"},
    {"Contents->Estimate", "≈ %1"},
    {"Contents->AtMost", "≤ %1"},
    {"Contents->SizeTip",
     "The archive records no size for this file: it holds from %1 to %2 bytes."},
    {"Contents->DamagedTip", "%1 (damaged)"},
    {"Contents->Filter", "&Filter:"},
    {"Contents->FilterHint", "e.g. *.odt; docs/2026 - the patterns of restore -i"},
    {"Contents->Restore", "&Restore..."},
    {"Contents->Test", "&Test"},
    {"Contents->Stop", "S&top"},
    {"Contents->Title", "Title: %1"},
    {"Contents->Totals", "Files: %1, folders: %2 - %3, packed %4 - volumes: %5"},
    {"Contents->Shown", "Shown: %1 of %2 files - %3, packed %4"},
    {"Contents->Reading", "Reading the archive: %1 files"},
    {"Contents->Listed", "Listed: %1 files - %2"},
    {"Contents->Cut",
     "Only %1 files could be read (%2): the archive is damaged or cut short there. Test finds "
     "every damaged file, and a restore goes on past the damage."},
    {"Contents->MissingVolume", "Volume %1 is missing: only the files before it are shown."},
    {"Contents->Stopped", "The listing was stopped: only the files read so far are shown."},
    {"Contents->DamagedFound", "Damaged files found by Test: %1. They are marked in the list."},
    {"RestoreDialog->Caption", "Restore Files"},
    {"RestoreDialog->Chosen", "Files to restore: %1 (%2)"},
    {"RestoreDialog->Folder", "&Folder:"},
    {"RestoreDialog->Browse", "&Browse..."},
    {"RestoreDialog->WithFolders", "Under the folder, &with their stored folders"},
    {"RestoreDialog->Relative", "Under the folder, without the folders they &share"},
    {"RestoreDialog->Original", "To their &original places"},
    {"RestoreDialog->Mode", "Files that exist: %1 (Restore Mode of the main window)"},
};

// Every message key in the order of the language files.
std::vector<TMessageText> MessageTexts() {
  std::vector<TMessageText> all(std::begin(kWindowTexts), std::end(kWindowTexts));
  all.insert(all.end(), std::begin(kEngineTexts), std::end(kEngineTexts));
  all.push_back(kCannotOpenFile);
  return all;
}

// One text that a language file may set: its key, how to read the text
// shown now, and how to set it.
struct TTextTarget {
  QString Key;
  std::function<QString()> Get;
  std::function<void(const QString&)> Set;
};

TTextTarget Caption(const QString& Name, QAction* Action) {
  return {Name + "->Caption", [Action] { return Action->text(); },
          [Action](const QString& Text) { Action->setText(Text); }};
}

TTextTarget Caption(const QString& Name, QLabel* Label) {
  return {Name + "->Caption", [Label] { return Label->text(); },
          [Label](const QString& Text) { SetLabelCaption(Label, Text); }};
}

TTextTarget Caption(const QString& Name, QAbstractButton* Button) {
  return {Name + "->Caption", [Button] { return Button->text(); },
          [Button](const QString& Text) { Button->setText(Text); }};
}

TTextTarget Caption(const QString& Name, QGroupBox* Box) {
  return {Name + "->Caption", [Box] { return Box->title(); },
          [Box](const QString& Text) { Box->setTitle(Text); }};
}

void AddItems(std::vector<TTextTarget>& Targets, const QString& Name, QComboBox* List) {
  for (int i = 0; i < List->count(); ++i) {
    Targets.push_back({QStringLiteral("%1->Items->Strings[%2]").arg(Name).arg(i),
                       [List, i] { return List->itemText(i); },
                       [List, i](const QString& Text) { List->setItemText(i, Text); }});
  }
}

TTextTarget AboutText(TAboutBox& Box, const QString& Name, QLabel* Label) {
  return {"AboutBox->" + Name + "->Caption", [Label] { return Label->text(); },
          [&Box, Label](const QString& Text) { Box.SetCaption(Label, Text); }};
}

std::vector<TTextTarget> TextTargets(TForm1& F) {
  std::vector<TTextTarget> t = {
      Caption("MFile", F.MFile),
      Caption("MExit", F.MExit),
      Caption("MSettings", F.MSettings),
      Caption("MLanguage", F.MLanguage),
      Caption("MLangEnglish", F.MLangEnglish),
      Caption("MLangRussian", F.MLangRussian),
      Caption("MHelp", F.MHelp),
      Caption("MAbout", F.MAbout),
      Caption("LabelBackupFile", F.LabelBackupFile),
      Caption("LabelBackupFolder", F.LabelBackupFolder),
      Caption("LabelRestoreFolder", F.LabelRestoreFolder),
      Caption("ButtonBackup", F.ButtonBackup),
      Caption("ButtonRestore", F.ButtonRestore),
      Caption("ButtonStop", F.ButtonStop),
      Caption("ButtonBackupFile", F.ButtonBackupFile),
      Caption("ButtonBackupFolder", F.ButtonBackupFolder),
      Caption("ButtonRestoreFolder", F.ButtonRestoreFolder),
      Caption("GroupBoxOptions", F.GroupBoxOptions),
      Caption("LabelCompressionLevel", F.LabelCompressionLevel),
      Caption("LabelRestoreMode", F.LabelRestoreMode),
  };
  AddItems(t, "ComboBoxCompressionLevel", F.ComboBoxCompressionLevel);
  AddItems(t, "ComboBoxRestoreMode", F.ComboBoxRestoreMode);
  t.push_back(Caption("CheckBoxSubDirs", F.CheckBoxSubDirs));
  t.push_back(Caption("CheckBoxHidden", F.CheckBoxHidden));
  AddItems(t, "ComboBoxSize", F.ComboBoxSize);
  t.push_back(Caption("CheckBoxSize", F.CheckBoxSize));
  t.push_back({"SaveDialog1->Filter", [&F] { return F.SaveDialogFilter; },
               [&F](const QString& Text) { F.SaveDialogFilter = Text; }});
  TAboutBox& about = *F.AboutBox;
  t.push_back({"AboutBox->Caption", [&about] { return about.windowTitle(); },
               [&about](const QString& Text) { about.setWindowTitle(Text); }});
  t.push_back(AboutText(about, "LabelAbout", about.LabelAbout));
  t.push_back(AboutText(about, "LabelAuthor", about.LabelAuthor));
  t.push_back(AboutText(about, "LabelSite", about.LabelSite));
  t.push_back(Caption("AboutBox->OKButton", about.OKButton));
  t.push_back(AboutText(about, "LabelLicense", about.LabelLicense));
  t.push_back(Caption("MOpenArchive", F.MOpenArchive));
  t.push_back(Caption("MShowContents", F.MShowContents));
  t.push_back(Caption("MTestArchive", F.MTestArchive));
  t.push_back(Caption("MRecent", F.MRecent));
  t.push_back(Caption("MRecovery", F.MRecovery));
  t.push_back(Caption("MRecovery0", F.MRecoveryChoices.front()));
  return t;
}

}  // namespace

QStringList TForm1::LanguageKeys() {
  QStringList keys;
  for (const TTextTarget& target : TextTargets(*this)) keys << target.Key;
  for (const TMessageText& text : MessageTexts()) keys << QString::fromLatin1(text.Key);
  return keys;
}

QStringList TForm1::InterfaceTexts() {
  QStringList texts;
  for (const TTextTarget& target : TextTargets(*this)) texts << target.Get();
  for (const TMessageText& text : MessageTexts()) texts << Text(QString::fromLatin1(text.Key));
  return texts;
}

QString TForm1::Text(const QString& Key) const {
  if (const auto found = texts_.constFind(Key); found != texts_.constEnd()) return *found;
  for (const TMessageText& text : MessageTexts())
    if (Key == QLatin1String(text.Key)) return QString::fromUtf8(text.English);
  // An unknown key shows itself rather than nothing.
  return Key;
}

QString TForm1::ErrorText(int32_t Code) const {
  // The codes' own messages open kEngineTexts, in the order of the codes.
  static_assert(std::size(kEngineTexts) >= beNothingSelected);
  if (Code < 1 || Code > beNothingSelected) return {};
  return Text(QString::fromLatin1(kEngineTexts[Code - 1].Key));
}

QString TForm1::EngineText(const std::string& Message) const {
  const QString english = QString::fromStdString(Message);
  for (const TMessageText& text : kEngineTexts) {
    const QLatin1String known(text.English);
    if (english == known) return Text(QString::fromLatin1(text.Key));
    // A described failure: the message, then what it concerns and why,
    // which stay as they are.
    if (english.startsWith(known + QLatin1String(": ")))
      return Text(QString::fromLatin1(text.Key)) + english.mid(known.size());
  }
  const QString openPrefix = QString::fromLatin1(kCannotOpenFile.English).section('%', 0, 0);
  if (english.startsWith(openPrefix))
    return Text(QString::fromLatin1(kCannotOpenFile.Key)).arg(english.mid(openPrefix.size()));
  return english;
}

void TForm1::LoadQtTranslations(const QString& Locale) {
  // Dates and numbers in Qt's dialogs and in the windows follow the
  // language, not the system's locale.
  QLocale::setDefault(QLocale(Locale));
  // Removed from the application when destroyed.
  qtTranslator_.reset();
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QLocale(Locale), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return;
  QCoreApplication::installTranslator(translator.get());
  qtTranslator_ = std::move(translator);
}

void TForm1::LoadLanguage(const QString& Name) {
  MLangEnglish->setChecked(Name == QStringLiteral("English"));
  MLangRussian->setChecked(Name == QStringLiteral("Russian"));
  TIniFile file;
  file.Load(LanguageFolderFor(AppFolder) + Name + ".ini");
  for (const TTextTarget& target : TextTargets(*this))
    target.Set(file.ReadString(kLanguageSection, target.Key, target.Get()));
  for (const TMessageText& text : MessageTexts()) {
    const QString key = QString::fromLatin1(text.Key);
    texts_[key] = file.ReadString(kLanguageSection, key, QString::fromUtf8(text.English));
  }
  LoadQtTranslations(Text(QStringLiteral("Language->Locale")));
  // Replacing an item's text can clear a list's selection.
  SelectListItems();
  // What the status lines say now is said again in the new language.
  if (statusText_) ShowStatus(statusText_);
  for (TArchiveWindow* window : ArchiveWindows()) window->Retranslate();
}

void TForm1::MLangEnglishClick() {
  Values.LanguageName = QStringLiteral("English");
  LoadLanguage(Values.LanguageName);
}

void TForm1::MLangRussianClick() {
  Values.LanguageName = QStringLiteral("Russian");
  LoadLanguage(Values.LanguageName);
}

void TForm1::MAboutClick() {
  LoadLanguage(Values.LanguageName);
  AboutBox->exec();
}

}  // namespace kelmora::app

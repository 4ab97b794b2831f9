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

// The engine's error codes 1 to 8 in order, then the messages of the
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
    {"Message->NextVolume",
     "The next volume of the archive, %1, was not found. Put it there and click OK to look "
     "again, or click Cancel to stop the restore."},
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
    {"Message->SettingsNotWritten", "Unable to write to %1"},
    {"Status->Backup", "Files: %1 - Size: %2 - Compression Rate: %3"},
    {"Status->Restore", "Files: %1 - Size: %2"},
    {"Status->Stopped", "Stopped: %1 of %2 files"},
    {"Status->Cancelled", "Cancelled: %1 of %2 files"},
    {"Status->Failed", "Failed: %1 - %2 of %3 files"},
    {"Status->Error", "Failed: %1"},
    {"Status->ArchiveNotFound", "archive not found"},
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

TTextTarget Caption(const QString& name, QAction* action) {
  return {name + "->Caption", [action] { return action->text(); },
          [action](const QString& text) { action->setText(text); }};
}

TTextTarget Caption(const QString& name, QLabel* label) {
  return {name + "->Caption", [label] { return label->text(); },
          [label](const QString& text) { SetLabelCaption(label, text); }};
}

TTextTarget Caption(const QString& name, QAbstractButton* button) {
  return {name + "->Caption", [button] { return button->text(); },
          [button](const QString& text) { button->setText(text); }};
}

TTextTarget Caption(const QString& name, QGroupBox* box) {
  return {name + "->Caption", [box] { return box->title(); },
          [box](const QString& text) { box->setTitle(text); }};
}

void AddItems(std::vector<TTextTarget>& targets, const QString& name, QComboBox* list) {
  for (int i = 0; i < list->count(); ++i) {
    targets.push_back({QStringLiteral("%1->Items->Strings[%2]").arg(name).arg(i),
                       [list, i] { return list->itemText(i); },
                       [list, i](const QString& text) { list->setItemText(i, text); }});
  }
}

TTextTarget AboutText(TAboutBox& box, const QString& name, QLabel* label) {
  return {"AboutBox->" + name + "->Caption", [label] { return label->text(); },
          [&box, label](const QString& text) { box.SetCaption(label, text); }};
}

std::vector<TTextTarget> TextTargets(TForm1& f) {
  std::vector<TTextTarget> t = {
      Caption("MFile", f.MFile),
      Caption("MExit", f.MExit),
      Caption("MSettings", f.MSettings),
      Caption("MLanguage", f.MLanguage),
      Caption("MLangEnglish", f.MLangEnglish),
      Caption("MLangRussian", f.MLangRussian),
      Caption("MHelp", f.MHelp),
      Caption("MAbout", f.MAbout),
      Caption("LabelBackupFile", f.LabelBackupFile),
      Caption("LabelBackupFolder", f.LabelBackupFolder),
      Caption("LabelRestoreFolder", f.LabelRestoreFolder),
      Caption("ButtonBackup", f.ButtonBackup),
      Caption("ButtonRestore", f.ButtonRestore),
      Caption("ButtonStop", f.ButtonStop),
      Caption("ButtonBackupFile", f.ButtonBackupFile),
      Caption("ButtonBackupFolder", f.ButtonBackupFolder),
      Caption("ButtonRestoreFolder", f.ButtonRestoreFolder),
      Caption("GroupBoxOptions", f.GroupBoxOptions),
      Caption("LabelCompressionLevel", f.LabelCompressionLevel),
      Caption("LabelRestoreMode", f.LabelRestoreMode),
  };
  AddItems(t, "ComboBoxCompressionLevel", f.ComboBoxCompressionLevel);
  AddItems(t, "ComboBoxRestoreMode", f.ComboBoxRestoreMode);
  t.push_back(Caption("CheckBoxSubDirs", f.CheckBoxSubDirs));
  AddItems(t, "ComboBoxSize", f.ComboBoxSize);
  t.push_back(Caption("CheckBoxSize", f.CheckBoxSize));
  t.push_back({"SaveDialog1->Filter", [&f] { return f.SaveDialogFilter; },
               [&f](const QString& text) { f.SaveDialogFilter = text; }});
  TAboutBox& about = *f.AboutBox;
  t.push_back({"AboutBox->Caption", [&about] { return about.windowTitle(); },
               [&about](const QString& text) { about.setWindowTitle(text); }});
  t.push_back(AboutText(about, "LabelAbout", about.LabelAbout));
  t.push_back(AboutText(about, "LabelAuthor", about.LabelAuthor));
  t.push_back(AboutText(about, "LabelSite", about.LabelSite));
  t.push_back(Caption("AboutBox->OKButton", about.OKButton));
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

QString TForm1::Text(const QString& key) const {
  if (const auto found = texts_.constFind(key); found != texts_.constEnd()) return *found;
  for (const TMessageText& text : MessageTexts())
    if (key == QLatin1String(text.Key)) return QString::fromUtf8(text.English);
  // An unknown key shows itself rather than nothing.
  return key;
}

QString TForm1::EngineText(const std::string& message) const {
  const QString english = QString::fromStdString(message);
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

void TForm1::LoadQtTranslations(const QString& locale) {
  // Removed from the application when destroyed.
  qtTranslator_.reset();
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QLocale(locale), QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return;
  QCoreApplication::installTranslator(translator.get());
  qtTranslator_ = std::move(translator);
}

void TForm1::LoadLanguage(const QString& name) {
  MLangEnglish->setChecked(name == QStringLiteral("English"));
  MLangRussian->setChecked(name == QStringLiteral("Russian"));
  TIniFile file;
  file.Load(LanguageFolderFor(AppFolder) + name + ".ini");
  for (const TTextTarget& target : TextTargets(*this))
    target.Set(file.ReadString(kLanguageSection, target.Key, target.Get()));
  for (const TMessageText& text : MessageTexts()) {
    const QString key = QString::fromLatin1(text.Key);
    texts_[key] = file.ReadString(kLanguageSection, key, QString::fromUtf8(text.English));
  }
  LoadQtTranslations(Text(QStringLiteral("Language->Locale")));
  // Replacing an item's text can clear a list's selection.
  SelectListItems();
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

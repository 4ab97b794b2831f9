// Interface languages: every text of the window and of the About box can
// be replaced by one read from language/<name>.ini. Each read falls back on
// the text shown at that moment, so a missing file, section or key leaves a
// text as it is.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <functional>
#include <vector>

#include "app/about_box.h"
#include "app/ini_file.h"
#include "app/main_window.h"
#include "app/paths.h"

namespace kelmora::app {

namespace {

const QString kLanguageSection = QStringLiteral("Interface");

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
  return t;
}

}  // namespace

QStringList TForm1::LanguageKeys() {
  QStringList keys;
  for (const TTextTarget& target : TextTargets(*this)) keys << target.Key;
  return keys;
}

QStringList TForm1::InterfaceTexts() {
  QStringList texts;
  for (const TTextTarget& target : TextTargets(*this)) texts << target.Get();
  return texts;
}

void TForm1::LoadLanguage(const QString& name) {
  MLangEnglish->setChecked(name == QStringLiteral("English"));
  MLangRussian->setChecked(name == QStringLiteral("Russian"));
  TIniFile file;
  file.Load(LanguageFolderFor(AppFolder) + name + ".ini");
  for (const TTextTarget& target : TextTargets(*this))
    target.Set(file.ReadString(kLanguageSection, target.Key, target.Get()));
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

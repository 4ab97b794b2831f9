// Interface languages: the shipped files, switching back and forth, texts
// that fit, and language files that are missing, partial or broken.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTimer>

#include "app/about_box.h"
#include "app/ini_file.h"
#include "form_fixture.h"

namespace kelmora::test {
namespace {

using app::TForm1;

const QStringList kKeysInOrder = {
    "MFile->Caption",
    "MExit->Caption",
    "MSettings->Caption",
    "MLanguage->Caption",
    "MLangEnglish->Caption",
    "MLangRussian->Caption",
    "MHelp->Caption",
    "MAbout->Caption",
    "LabelBackupFile->Caption",
    "LabelBackupFolder->Caption",
    "LabelRestoreFolder->Caption",
    "ButtonBackup->Caption",
    "ButtonRestore->Caption",
    "ButtonStop->Caption",
    "ButtonBackupFile->Caption",
    "ButtonBackupFolder->Caption",
    "ButtonRestoreFolder->Caption",
    "GroupBoxOptions->Caption",
    "LabelCompressionLevel->Caption",
    "LabelRestoreMode->Caption",
    "ComboBoxCompressionLevel->Items->Strings[0]",
    "ComboBoxCompressionLevel->Items->Strings[1]",
    "ComboBoxCompressionLevel->Items->Strings[2]",
    "ComboBoxCompressionLevel->Items->Strings[3]",
    "ComboBoxRestoreMode->Items->Strings[0]",
    "ComboBoxRestoreMode->Items->Strings[1]",
    "ComboBoxRestoreMode->Items->Strings[2]",
    "ComboBoxRestoreMode->Items->Strings[3]",
    "ComboBoxRestoreMode->Items->Strings[4]",
    "CheckBoxSubDirs->Caption",
    "ComboBoxSize->Items->Strings[0]",
    "ComboBoxSize->Items->Strings[1]",
    "ComboBoxSize->Items->Strings[2]",
    "CheckBoxSize->Caption",
    "SaveDialog1->Filter",
    "AboutBox->Caption",
    "AboutBox->LabelAbout->Caption",
    "AboutBox->LabelAuthor->Caption",
    "AboutBox->LabelSite->Caption",
};

class LanguageTest : public FormTest {
 protected:
  void WriteLanguage(const std::string& name, const std::string& text) {
    WriteFile(AppFolder().toStdString() + "language/" + name + ".ini", text);
  }

  // Every text of the window lies within its control, and no label runs
  // into the control beside it.
  static void ExpectTextsFit(TForm1& f, const std::string& language) {
    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
             f.ButtonBackup, f.ButtonRestore, f.ButtonStop, f.ButtonBackupFile,
             f.ButtonBackupFolder, f.ButtonRestoreFolder}) {
      EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width())
          << language << ": " << b->text().toStdString();
    }
    for (QCheckBox* c : {f.CheckBoxSubDirs, f.CheckBoxSize}) {
      const int indicator = c->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                            c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c);
      EXPECT_LE(indicator + c->fontMetrics().horizontalAdvance(c->text()), c->width())
          << language << ": " << c->text().toStdString();
    }
    const std::pair<QLabel*, QWidget*> rows[] = {
        {f.LabelBackupFile, f.EditBackupFile},
        {f.LabelBackupFolder, f.EditBackupFolder},
        {f.LabelRestoreFolder, f.EditRestoreFolder},
        {f.LabelCompressionLevel, f.ComboBoxCompressionLevel},
        {f.LabelRestoreMode, f.ComboBoxRestoreMode},
    };
    for (const auto& [label, beside] : rows) {
      EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
      EXPECT_LT(label->geometry().right(), beside->x())
          << language << ": " << label->text().toStdString();
    }
    for (QComboBox* list : {f.ComboBoxCompressionLevel, f.ComboBoxRestoreMode, f.ComboBoxSize}) {
      QStyleOptionComboBox option;
      option.initFrom(list);
      option.rect = list->rect();
      const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                        QStyle::SC_ComboBoxEditField, list);
      for (int i = 0; i < list->count(); ++i) {
        EXPECT_LE(list->fontMetrics().horizontalAdvance(list->itemText(i)), field.width())
            << language << ": " << list->itemText(i).toStdString();
      }
    }
    EXPECT_LE(f.GroupBoxOptions->fontMetrics().horizontalAdvance(f.GroupBoxOptions->title()),
              f.GroupBoxOptions->width() - 20);
    app::TAboutBox& about = *f.AboutBox;
    for (QLabel* l : {about.LabelTitle, about.LabelAbout, about.LabelAuthor, about.LabelSite}) {
      EXPECT_LE(l->geometry().right(), about.Panel1->width() - 4)
          << language << ": " << l->text().toStdString();
    }
  }
};

TEST_F(LanguageTest, ThirtyNineKeysInTheirOrder) {
  auto form = MakeForm();
  EXPECT_EQ(form->LanguageKeys(), kKeysInOrder);
}

TEST_F(LanguageTest, ShippedFilesListEveryKeyAndEnglishRepeatsTheBuiltInTexts) {
  auto bare = MakeForm();  // no language folder: the built-in texts
  const QStringList builtIn = bare->InterfaceTexts();
  for (const char* name : {"English", "Russian"}) {
    app::TIniFile file;
    file.Load(QStringLiteral(KELMORA_SOURCE_DIR "/language/%1.ini").arg(name));
    for (int i = 0; i < kKeysInOrder.size(); ++i) {
      const QString value = file.ReadString("Interface", kKeysInOrder[i], "<missing>");
      EXPECT_NE(value, "<missing>") << name << " lacks " << kKeysInOrder[i].toStdString();
      EXPECT_FALSE(value.isEmpty()) << name << " " << kKeysInOrder[i].toStdString();
      if (QString(name) == "English") {
        EXPECT_EQ(value, builtIn[i]) << kKeysInOrder[i].toStdString();
      }
    }
  }
}

TEST_F(LanguageTest, SwitchingToRussianAndBackRestoresEveryEnglishText) {
  InstallLanguages();
  auto form = MakeForm();
  const QStringList english = form->InterfaceTexts();
  ExpectTextsFit(*form, "English");

  form->MLangRussianClick();
  EXPECT_TRUE(form->MLangRussian->isChecked());
  EXPECT_FALSE(form->MLangEnglish->isChecked());
  const QStringList russian = form->InterfaceTexts();
  int same = 0;
  for (int i = 0; i < russian.size(); ++i) same += russian[i] == english[i];
  EXPECT_EQ(same, 1) << "only the item naming English stays";
  EXPECT_EQ(form->ButtonBackup->text(), "Архивировать");
  EXPECT_EQ(form->GroupBoxOptions->title(), " Параметры ");
  EXPECT_EQ(form->ComboBoxSize->currentText(), "Мб") << "the selection survives";
  EXPECT_EQ(form->AboutBox->windowTitle(), "О программе");
  ExpectTextsFit(*form, "Russian");

  form->MLangEnglishClick();
  EXPECT_EQ(form->InterfaceTexts(), english);
  EXPECT_TRUE(form->MLangEnglish->isChecked());
  EXPECT_FALSE(form->MLangRussian->isChecked());
  EXPECT_TRUE(shown.empty());

  // The choice is kept for the next start.
  form->MLangRussianClick();
  form->close();
  auto next = MakeForm();
  EXPECT_EQ(next->Values.LanguageName, "Russian");
  EXPECT_EQ(next->InterfaceTexts(), russian);
}

TEST_F(LanguageTest, MissingFolderMovesOnlyTheCheckMark) {
  auto form = MakeForm();
  const QStringList english = form->InterfaceTexts();
  form->MLangRussianClick();
  EXPECT_EQ(form->InterfaceTexts(), english);
  EXPECT_TRUE(form->MLangRussian->isChecked());
  EXPECT_FALSE(form->MLangEnglish->isChecked());
  EXPECT_TRUE(shown.empty());
}

TEST_F(LanguageTest, KeysMissingFromTheFileKeepTheCurrentWording) {
  InstallLanguages();
  WriteLanguage("English", "[Interface]\nMFile->Caption=File\n");
  auto form = MakeForm();
  form->MLangRussianClick();
  form->MLangEnglishClick();
  EXPECT_EQ(form->MFile->text(), "File");
  EXPECT_EQ(form->ButtonBackup->text(), "Архивировать");
}

TEST_F(LanguageTest, ItemTextChangeKeepsTheSelectionByIndex) {
  WriteLanguage("Custom", "[interface]\ncomboboxcompressionlevel->items->strings[0]=Standard\n");
  WriteFile(Path("src/a.txt"), TextBytes(3000));
  auto form = MakeForm();
  form->LoadLanguage("Custom");
  EXPECT_FALSE(form->MLangEnglish->isChecked());
  EXPECT_FALSE(form->MLangRussian->isChecked());
  EXPECT_EQ(form->ComboBoxCompressionLevel->currentIndex(), 0);
  EXPECT_EQ(form->ComboBoxCompressionLevel->currentText(), "Standard");

  form->BackupEngine.CompressionLevel = clMax;
  form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";
  form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
  form->ButtonBackup->click();
  EXPECT_EQ(form->BackupEngine.CompressionLevel, clDefault);
  EXPECT_EQ(form->BackupEngine.FileCount(), 1);
}

TEST_F(LanguageTest, BrokenFilesChangeNothingAndSayNothing) {
  auto form = MakeForm();
  const QStringList english = form->InterfaceTexts();
  WriteLanguage("Empty", "");
  WriteLanguage("Garbage", RandomBytes(8192, 5));
  WriteLanguage("Elsewhere", "[Other]\nButtonBackup->Caption=Nope\n");
  using namespace std::string_literals;
  WriteLanguage("Nul", "[Interface]\nMFile->Caption=F\0ile\nMExit->Caption=X\n"s);
  for (const char* name : {"Empty", "Garbage", "Elsewhere", "Missing"}) {
    form->LoadLanguage(name);
    EXPECT_EQ(form->InterfaceTexts(), english) << name;
  }
  form->LoadLanguage("Nul");
  EXPECT_EQ(form->MFile->text(), "F") << "a NUL ends the text";

  WriteLanguage("Blank", "[Interface]\nButtonStop->Caption=\nLabelRestoreMode->Caption=\n");
  form->LoadLanguage("Blank");
  EXPECT_EQ(form->ButtonStop->text(), "");
  EXPECT_EQ(form->LabelRestoreMode->text(), "");
  EXPECT_EQ(form->ButtonRestore->text(), "Restore");
  EXPECT_TRUE(shown.empty());
}

TEST_F(LanguageTest, AboutShowsTheFileAsItIsOnDiskWhenItOpens) {
  InstallLanguages();
  auto form = MakeForm();
  QStringList seen;
  auto open_about = [&] {
    QTimer::singleShot(0, form.get(), [&] {
      seen = {form->AboutBox->windowTitle(), form->AboutBox->LabelAbout->text(),
              form->AboutBox->LabelAuthor->text(), form->AboutBox->LabelSite->text(),
              form->AboutBox->isVisible() ? "visible" : "hidden"};
      form->AboutBox->OKButton->click();
    });
    form->MAboutClick();
  };
  open_about();
  EXPECT_EQ(seen, (QStringList{"About Program", "backup and restore files", "by the Kelmora team",
                               "https://kelmora.org", "visible"}));

  WriteLanguage("English",
                "[Interface]\nAboutBox->Caption=About Kelmora\nAboutBox->LabelAuthor->Caption=by "
                "Ann\nAboutBox->LabelSite->Caption=https://kelmora.org/en/\n");
  open_about();
  EXPECT_EQ(seen, (QStringList{"About Kelmora", "backup and restore files", "by Ann",
                               "https://kelmora.org/en/", "visible"}));
  EXPECT_FALSE(form->AboutBox->isVisible());
}

}  // namespace
}  // namespace kelmora::test

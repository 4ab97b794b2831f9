// SPDX-License-Identifier: GPL-3.0-or-later
//
// Interface languages: the shipped files, switching back and forth, texts
// that fit, and language files that are missing, partial or broken.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cerrno>
#include <filesystem>

#include "app/about_box.h"
#include "app/ini_file.h"
#include "form_fixture.h"
#include "platform/file.h"

namespace kelmora::test {
namespace {

namespace fs = std::filesystem;
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
    "CheckBoxHidden->Caption",
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

// Keys added after the first 39: the About box's button and licence, the
// File menu's archive commands, then the window's messages, status and
// contents texts. A file without them keeps the English wording.
const QStringList kLaterKeys = {
    "AboutBox->OKButton->Caption",
    "AboutBox->LabelLicense->Caption",
    "MOpenArchive->Caption",
    "MShowContents->Caption",
    "MTestArchive->Caption",
    "MRecent->Caption",
    "MRecovery->Caption",
    "MRecovery0->Caption",
    "Language->Locale",
    "FolderDialog1->Caption",
    "Message->ConfirmCaption",
    "Message->ConfirmStop",
    "Message->InformationCaption",
    "Message->MissingVolume",
    "Message->Browse",
    "Message->VolumeSize",
    "Message->VolumeBytes",
    "Message->LineBreak",
    "Message->NotAnInteger",
    "Message->ArchiveNotFound",
    "Message->ArchiveIsFolder",
    "Message->ArchiveNotRegular",
    "Message->ArchiveNoPermission",
    "Message->ArchiveUnreadable",
    "Message->ArchiveEmpty",
    "Message->NotKelmoraArchive",
    "Message->ArchiveInUse",
    "Message->NotAnArchive",
    "Message->NothingChosen",
    "Message->NoFolder",
    "Message->Sound",
    "Message->SettingsNotWritten",
    "Open->Caption",
    "Open->Filter",
    "Status->Error",
    "Status->ArchiveNotFound",
    "Status->ArchiveUnusable",
    "Outcome->Backup",
    "Outcome->Smaller",
    "Outcome->Larger",
    "Outcome->BackupAfter",
    "Outcome->HiddenLeftOut",
    "Status->Selecting",
    "Outcome->NoArchive",
    "Outcome->OlderArchiveKept",
    "Outcome->Stopped",
    "Outcome->Cancelled",
    "Outcome->Restored",
    "Outcome->Kept",
    "Outcome->Damaged",
    "Outcome->Refused",
    "Outcome->NoCompanion",
    "Outcome->TestSound",
    "Outcome->TestDamaged",
    "Outcome->Incomplete",
    "Outcome->Checked",
    "Progress->Title",
    "Progress->Left",
    "Unit->Bytes",
    "Unit->KB",
    "Unit->MB",
    "Unit->GB",
    "Unit->TB",
    "Unit->PerSecond",
    "Unit->Seconds",
    "Unit->MinutesSeconds",
    "Unit->HoursMinutes",
    "Unit->Percent",
    "Notify->Backup",
    "Notify->Restore",
    "Notify->Test",
    "Notify->Done",
    "Notify->Stopped",
    "Notify->Cancelled",
    "Notify->Failed",
    "Notify->Damaged",
    "Problems->File",
    "Problems->Volume",
    "Problems->Offset",
    "Problems->Reason",
    "Problems->NoFile",
    "Problems->Clash",
    "Problems->Restore",
    "Problems->OthersRestored",
    "Problems->OthersRestoredOrKept",
    "Problems->Test",
    "Problems->Incomplete",
    "Contents->Name",
    "Contents->Size",
    "Contents->Packed",
    "Contents->Date",
    "Contents->Volume",
    "Contents->Estimate",
    "Contents->AtMost",
    "Contents->SizeTip",
    "Contents->DamagedTip",
    "Contents->Filter",
    "Contents->FilterHint",
    "Contents->Restore",
    "Contents->Test",
    "Contents->Stop",
    "Contents->Title",
    "Contents->Totals",
    "Contents->Shown",
    "Contents->Reading",
    "Contents->Listed",
    "Contents->Cut",
    "Contents->MissingVolume",
    "Contents->Stopped",
    "Contents->DamagedFound",
    "RestoreDialog->Caption",
    "RestoreDialog->Chosen",
    "RestoreDialog->Folder",
    "RestoreDialog->Browse",
    "RestoreDialog->WithFolders",
    "RestoreDialog->Relative",
    "RestoreDialog->Original",
    "RestoreDialog->Mode",
    "Error->CannotReadFile",
    "Error->OverwriteFailed",
    "Error->CannotReadArchive",
    "Error->CannotWriteArchive",
    "Error->InvalidArchive",
    "Error->Compression",
    "Error->TempFile",
    "Error->FileChanged",
    "Error->FilesLeftOut",
    "Error->NothingSelected",
    "Error->CannotCreateFolder",
    "Error->StreamRead",
    "Error->StreamWrite",
    "Error->CannotOpenFile",
};

// The text as drawn: a single "&" marks the mnemonic and takes no room.
int DrawnWidth(const QFontMetrics& Metrics, QString Text) {
  Text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
  Text.remove('&');
  Text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
  return Metrics.horizontalAdvance(Text);
}

class LanguageTest : public FormTest {
 protected:
  // Two text files of 3000 bytes each under src/.
  void MakeTreeForBackup() {
    WriteFile(Path("src/a.txt"), TextBytes(3000, 1));
    WriteFile(Path("src/b.txt"), TextBytes(3000, 2));
  }

  void WriteLanguage(const std::string& Name, const std::string& Text) {
    WriteFile(AppFolder().toStdString() + "language/" + Name + ".ini", Text);
  }

  // Every text of the window lies within its control, and no label runs
  // into the control beside it.
  static void ExpectTextsFit(TForm1& F, const std::string& Language) {
    for (QAbstractButton* b : std::initializer_list<QAbstractButton*>{
             F.ButtonBackup, F.ButtonRestore, F.ButtonStop, F.ButtonBackupFile,
             F.ButtonBackupFolder, F.ButtonRestoreFolder}) {
      EXPECT_LE(DrawnWidth(b->fontMetrics(), b->text()) + 8, b->width())
          << Language << ": " << b->text().toStdString();
    }
    for (QCheckBox* c : {F.CheckBoxSubDirs, F.CheckBoxHidden, F.CheckBoxSize}) {
      const int indicator = c->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                            c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c);
      EXPECT_LE(indicator + DrawnWidth(c->fontMetrics(), c->text()), c->width())
          << Language << ": " << c->text().toStdString();
    }
    const std::pair<QLabel*, QWidget*> rows[] = {
        {F.LabelBackupFile, F.EditBackupFile},
        {F.LabelBackupFolder, F.EditBackupFolder},
        {F.LabelRestoreFolder, F.EditRestoreFolder},
        {F.LabelCompressionLevel, F.ComboBoxCompressionLevel},
        {F.LabelRestoreMode, F.ComboBoxRestoreMode},
    };
    for (const auto& [label, beside] : rows) {
      EXPECT_GE(label->width(), DrawnWidth(label->fontMetrics(), label->text()));
      EXPECT_LT(label->geometry().right(), beside->x())
          << Language << ": " << label->text().toStdString();
    }
    for (QComboBox* list : {F.ComboBoxCompressionLevel, F.ComboBoxRestoreMode, F.ComboBoxSize}) {
      QStyleOptionComboBox option;
      option.initFrom(list);
      option.rect = list->rect();
      const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                        QStyle::SC_ComboBoxEditField, list);
      for (int i = 0; i < list->count(); ++i) {
        EXPECT_LE(list->fontMetrics().horizontalAdvance(list->itemText(i)), field.width())
            << Language << ": " << list->itemText(i).toStdString();
      }
    }
    EXPECT_LE(F.GroupBoxOptions->fontMetrics().horizontalAdvance(F.GroupBoxOptions->title()),
              F.GroupBoxOptions->width() - 20);
    app::TAboutBox& about = *F.AboutBox;
    for (QLabel* l : {about.LabelTitle, about.LabelAbout, about.LabelAuthor, about.LabelSite,
                      about.LabelLicense}) {
      EXPECT_LE(l->geometry().right(), about.Panel1->width() - 4)
          << Language << ": " << l->text().toStdString();
    }
  }
};

TEST_F(LanguageTest, TheThirtyNineKeysComeFirstThenTheLaterOnes) {
  auto form = MakeForm();
  EXPECT_EQ(form->LanguageKeys(), kKeysInOrder + kLaterKeys);
}

TEST_F(LanguageTest, ShippedFilesListEveryKeyAndEnglishRepeatsTheBuiltInTexts) {
  auto bare = MakeForm();  // no language folder: the built-in texts
  const QStringList builtIn = bare->InterfaceTexts();
  for (const char* name : {"English", "Russian"}) {
    app::TIniFile file;
    file.Load(QStringLiteral(KELMORA_SOURCE_DIR "/language/%1.ini").arg(name));
    const QStringList keys = kKeysInOrder + kLaterKeys;
    for (int i = 0; i < keys.size(); ++i) {
      const QString value = file.ReadString("Interface", keys[i], "<missing>");
      EXPECT_NE(value, "<missing>") << name << " lacks " << keys[i].toStdString();
      EXPECT_FALSE(value.isEmpty()) << name << " " << keys[i].toStdString();
      if (QString(name) == "English") {
        EXPECT_EQ(value, builtIn[i]) << keys[i].toStdString();
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
  const QStringList keys = form->LanguageKeys();
  QStringList same;
  for (int i = 0; i < russian.size(); ++i)
    if (russian[i] == english[i]) same << keys[i];
  EXPECT_EQ(same, (QStringList{"MLangEnglish->Caption", "Progress->Title", "Unit->Percent",
                               "Contents->Estimate", "Contents->AtMost"}))
      << "only the item naming English and texts without words stay";
  EXPECT_EQ(form->ButtonBackup->text(), "&Архивировать");
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
  EXPECT_EQ(form->ButtonBackup->text(), "&Архивировать");
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
  EXPECT_EQ(form->ButtonRestore->text(), "&Restore");
  EXPECT_TRUE(shown.empty());
}

TEST_F(LanguageTest, AboutShowsTheFileAsItIsOnDiskWhenItOpens) {
  InstallLanguages();
  auto form = MakeForm();
  QStringList seen;
  auto openAbout = [&] {
    QTimer::singleShot(0, form.get(), [&] {
      seen = {form->AboutBox->windowTitle(), form->AboutBox->LabelAbout->text(),
              form->AboutBox->LabelAuthor->text(), form->AboutBox->LabelSite->text(),
              form->AboutBox->isVisible() ? "visible" : "hidden"};
      form->AboutBox->OKButton->click();
    });
    form->MAboutClick();
  };
  openAbout();
  EXPECT_EQ(seen, (QStringList{"About Program", "backup and restore files", "by the Kelmora team",
                               "https://kelmora.org", "visible"}));

  WriteLanguage("English",
                "[Interface]\nAboutBox->Caption=About Kelmora\nAboutBox->LabelAuthor->Caption=by "
                "Ann\nAboutBox->LabelSite->Caption=https://kelmora.org/en/\n");
  openAbout();
  EXPECT_EQ(seen, (QStringList{"About Kelmora", "backup and restore files", "by Ann",
                               "https://kelmora.org/en/", "visible"}));
  EXPECT_FALSE(form->AboutBox->isVisible());
}

// Texts of Qt's own dialogs, as a message box shows them now.
QString StandardButtonText(QMessageBox::StandardButton Which) {
  QMessageBox box(QMessageBox::NoIcon, "", "", Which);
  return box.button(Which)->text();
}

TEST_F(LanguageTest, InRussianTheWindowsMessagesStatusAndQtButtonsAreRussian) {
  InstallLanguages();
  MakeTreeForBackup();
  auto form = MakeForm();
  form->MLangRussianClick();
  form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";

  form->Values.BackupFileName = QString::fromStdString(Path("nothing.bkp"));
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text, QStringLiteral("Архив %1 не найден.").arg(form->Values.BackupFileName));
  EXPECT_EQ(form->StatusLine(), " Ошибка: архив не найден");

  form->Values.BackupFileName = QString::fromStdString(Path("missing/out.bkp"));
  form->ButtonBackup->click();
  ASSERT_EQ(shown.size(), 2u);
  const QString failure = QStringLiteral("Не удаётся записать архив: ") +
                          form->Values.BackupFileName + ": " +
                          QString::fromStdString(platform::ErrorText(ENOENT));
  EXPECT_EQ(shown[1].Text, failure) << "the engine's error code, then its file and reason";
  EXPECT_TRUE(form->StatusLine().startsWith(" Ошибка: " + failure + " - "))
      << form->StatusLine().toStdString();
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("архив не записан")));

  // Sizes in Russian units with a decimal comma: 6000 bytes are 5,9 КБ.
  form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
  form->ButtonBackup->click();
  EXPECT_TRUE(form->StatusLine().startsWith(QStringLiteral(" Заархивировано файлов: 2 (5,9 КБ)")))
      << form->StatusLine().toStdString();
  EXPECT_TRUE(form->StatusLine().contains(QStringLiteral("меньше на ")));
  // The level is not named with the ratio's words.
  EXPECT_FALSE(form->LabelCompressionLevel->text().contains(QStringLiteral("Степень")));

  // The line already shown is said again in the language switched to.
  form->MLangEnglishClick();
  EXPECT_TRUE(form->StatusLine().startsWith(" Files backed up: 2 (5.9 KB)"))
      << form->StatusLine().toStdString();
  form->MLangRussianClick();
  EXPECT_TRUE(form->StatusLine().startsWith(QStringLiteral(" Заархивировано файлов: 2")));

  // An exception out of the engine reaches the user in Russian too: a
  // file that begins as an archive would, and is cut inside its header.
  WriteFile(Path("out.bkp"), std::string("\x0a\0\0\0abcdefghij\0\0", 16));
  form->Values.RestoreFolder = QString::fromStdString(Path("back")) + "/";
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].Kind, "error");
  EXPECT_EQ(shown[2].Text, "Не удаётся прочитать архив");
  EXPECT_TRUE(form->StatusLine().startsWith(" Ошибка: Не удаётся прочитать архив - "))
      << form->StatusLine().toStdString();

  form->CheckBoxSize->setChecked(true);
  form->EditSize->setText("4000");
  form->ComboBoxSize->setCurrentIndex(1);
  form->ComboBoxSizeChange();
  form->ButtonBackup->click();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_TRUE(
      shown[3].Text.startsWith("Размер тома 4000 Мб недопустим. Введите размер от 1 до "
                               "2047 Мб"))
      << shown[3].Text.toStdString();

  // Qt's own buttons follow the chosen language, and go back with it.
  EXPECT_EQ(StandardButtonText(QMessageBox::Cancel), "Отмена");
  EXPECT_EQ(StandardButtonText(QMessageBox::Save), "Сохранить");
  form->MLangEnglishClick();
  EXPECT_EQ(StandardButtonText(QMessageBox::Cancel), "Cancel");
  form->ButtonBackup->click();
  EXPECT_TRUE(shown.back().Text.startsWith("The volume size 4000 Mb cannot be used."));
}

// Qt's own file dialog dates files in the interface language's locale, not
// the system's.
TEST_F(LanguageTest, TheFileDialogDatesFilesInTheChosenLanguage) {
  InstallLanguages();
  WriteFile(Path("box/old.bkp"), "x");
  SetModificationTime(Path("box/old.bkp"), UtcSeconds(2021, 3, 14, 12, 0, 0));
  auto form = MakeForm();
  form->MLangRussianClick();
  const app::TDialogs real = app::StandardDialogs(form.get(), form->TextSource());
  QString shownDate;
  QTimer::singleShot(0, form.get(), [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    auto* view = dialog->findChild<QTreeView*>();
    ASSERT_NE(view, nullptr);
    const QAbstractItemModel* model = view->model();
    const auto find = [&]() -> QModelIndex {
      const QModelIndex top = view->rootIndex();
      for (int r = 0; r < model->rowCount(top); ++r)
        if (model->index(r, 0, top).data().toString() == "old.bkp") return model->index(r, 3, top);
      return {};
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return find().isValid(); }, 5000));
    shownDate = find().data().toString();
    dialog->reject();
  });
  real.AskOpenFile(QString::fromStdString(Path("box")), form->Text("Open->Filter"));
  const QDateTime when = QFileInfo(QString::fromStdString(Path("box/old.bkp"))).lastModified();
  EXPECT_EQ(shownDate, QLocale(QLocale::Russian).toString(when, QLocale::ShortFormat));
  EXPECT_EQ(shownDate.left(6), QStringLiteral("14.03.")) << shownDate.toStdString();
}

// A language file written before the window's messages had keys: its
// captions apply, and the messages stay readable in English.
TEST_F(LanguageTest, AnOlderLanguageFileKeepsTheEnglishMessages) {
  InstallLanguages();
  app::TIniFile russian;
  russian.Load(QStringLiteral(KELMORA_SOURCE_DIR "/language/Russian.ini"));
  std::string older = "[Interface]\n";
  for (const QString& key : kKeysInOrder)
    older += (key + "=" + russian.ReadString("Interface", key, "")).toStdString() + "\n";
  WriteLanguage("Russian", older);
  auto form = MakeForm();
  form->MLangRussianClick();
  EXPECT_EQ(form->ButtonRestore->text(), "&Восстановить");
  form->Values.BackupFileName = QString::fromStdString(Path("nothing.bkp"));
  form->ButtonRestore->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Text,
            QStringLiteral("The archive %1 was not found.").arg(form->Values.BackupFileName));
  EXPECT_EQ(form->StatusLine(), " Failed: archive not found");
  EXPECT_EQ(StandardButtonText(QMessageBox::Cancel), "Cancel");
}

}  // namespace
}  // namespace kelmora::test

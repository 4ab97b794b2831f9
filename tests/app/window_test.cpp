// SPDX-License-Identifier: GPL-3.0-or-later
//
// The main window's fixed layout: every control where it belongs, with its
// text, state and tab order, and a window that cannot be resized.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <set>

#include "app/about_box.h"
#include "app/dialogs.h"
#include "form_fixture.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"
#include "widgets/winxp.h"

namespace kelmora::test {
namespace {

namespace fs = std::filesystem;

class WindowTest : public FormTest {};

TEST_F(WindowTest, ControlsSitWhereTheLayoutPutsThem) {
  auto form = MakeForm();
  const struct {
    QWidget* Control;
    QRect Geometry;
  } expected[] = {
      {form->EditBackupFile, {112, 8, 249, 21}},
      {form->ButtonBackupFile, {368, 8, 73, 21}},
      {form->EditBackupFolder, {112, 32, 249, 21}},
      {form->ButtonBackupFolder, {368, 32, 73, 21}},
      {form->EditRestoreFolder, {112, 56, 249, 21}},
      {form->ButtonRestoreFolder, {368, 56, 73, 21}},
      {form->GroupBoxOptions, {8, 88, 433, 81}},
      {form->ComboBoxCompressionLevel, {120, 20, 113, 21}},
      {form->ComboBoxRestoreMode, {120, 44, 113, 21}},
      {form->CheckBoxSubDirs, {240, 46, 105, 17}},
      {form->CheckBoxHidden, {348, 46, 76, 17}},
      {form->EditSize, {320, 20, 54, 21}},
      {form->ComboBoxSize, {376, 20, 41, 21}},
      {form->CheckBoxSize, {240, 22, 73, 17}},
      {form->CGauge1, {8, 176, 433, 17}},
      {form->ButtonBackup, {80, 200, 89, 25}},
      {form->ButtonRestore, {176, 200, 89, 25}},
      {form->ButtonStop, {272, 200, 89, 25}},
  };
  for (const auto& e : expected)
    EXPECT_EQ(e.Control->geometry(), e.Geometry) << e.Control->objectName().toStdString();
  // Labels keep their corner; their width follows the text.
  EXPECT_EQ(form->LabelBackupFile->pos(), QPoint(8, 12));
  EXPECT_EQ(form->LabelBackupFolder->pos(), QPoint(8, 36));
  EXPECT_EQ(form->LabelRestoreFolder->pos(), QPoint(8, 60));
  EXPECT_EQ(form->LabelCompressionLevel->pos(), QPoint(16, 24));
  EXPECT_EQ(form->LabelRestoreMode->pos(), QPoint(16, 48));
  EXPECT_EQ(form->LabelCompressionLevel->parentWidget(), form->GroupBoxOptions);
}

TEST_F(WindowTest, FixedClientAreaAndNoMaximiseBox) {
  auto form = MakeForm();
  EXPECT_EQ(form->objectName(), "Form1");
  EXPECT_EQ(form->windowTitle(), "Kelmora 1.0");
  EXPECT_EQ(form->centralWidget()->size(), QSize(450, 232));
  EXPECT_EQ(form->StatusBar1->height(), 19);
  EXPECT_EQ(form->height(), form->menuBar()->sizeHint().height() + 251);
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_EQ(form->width(), 450);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form->windowIcon().isNull());
  EXPECT_EQ(form->StatusLine(), "");
}

TEST_F(WindowTest, InitialStateOfTheControls) {
  auto form = MakeForm();
  EXPECT_FALSE(form->EditBackupFile->isEnabled());
  EXPECT_FALSE(form->EditBackupFolder->isEnabled());
  EXPECT_FALSE(form->EditRestoreFolder->isEnabled());
  EXPECT_FALSE(form->ComboBoxSize->isEditable());
  EXPECT_FALSE(form->ComboBoxCompressionLevel->isEditable());
  EXPECT_EQ(form->GroupBoxOptions->title(), " Options ");
  EXPECT_EQ(form->ComboBoxRestoreMode->count(), 5);
  EXPECT_EQ(form->ComboBoxRestoreMode->itemText(4), "Existing Newer");
  EXPECT_EQ(form->CGauge1->MinValue(), 0);
  EXPECT_EQ(form->CGauge1->MaxValue(), 100);
  EXPECT_EQ(form->CGauge1->Progress(), 0);
  EXPECT_EQ(form->CGauge1->Kind(), widgets::gkHorizontalBar);
  EXPECT_EQ(form->FolderDialog1->DialogPosition(), widgets::fdpScreenCenter);
  EXPECT_EQ(form->SaveDialogFilter, "Backup File (*.bkp)|*.bkp");
  EXPECT_EQ(form->MLanguage->menu()->actions().size(), 2);
  EXPECT_EQ(form->MAbout->text(), "&About");
  EXPECT_EQ(form->MExit->text(), "E&xit");
  // The window already carries its one visual style component.
  EXPECT_THROW(widgets::TWinXP second(form.get()), std::exception);
}

TEST_F(WindowTest, TabOrderFollowsTheLayout) {
  auto form = MakeForm();
  const std::vector<QWidget*> order = {form->ButtonBackup,
                                       form->ButtonRestore,
                                       form->ButtonStop,
                                       form->EditBackupFile,
                                       form->ButtonBackupFile,
                                       form->EditBackupFolder,
                                       form->ButtonBackupFolder,
                                       form->EditRestoreFolder,
                                       form->ButtonRestoreFolder,
                                       form->GroupBoxOptions,
                                       form->ComboBoxCompressionLevel,
                                       form->ComboBoxRestoreMode,
                                       form->CheckBoxSubDirs,
                                       form->EditSize,
                                       form->ComboBoxSize,
                                       form->CheckBoxSize};
  std::vector<QWidget*> seen;
  QWidget* w = order.front();
  do {
    if (std::find(order.begin(), order.end(), w) != order.end()) seen.push_back(w);
    w = w->nextInFocusChain();
  } while (w != order.front() && seen.size() < order.size());
  ASSERT_EQ(seen.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i)
    EXPECT_EQ(seen[i], order[i]) << "position " << i << ": " << seen[i]->objectName().toStdString();
}

TEST_F(WindowTest, ExceptionsInHandlersAreShownAndTheWindowGoesOn) {
  auto form = MakeForm();
  form->ExecuteFolderDialog = []() -> bool { throw std::runtime_error("picker broke"); };
  form->ButtonBackupFolder->click();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Kind, "error");
  EXPECT_EQ(shown[0].Caption, "Kelmora 1.0");
  EXPECT_EQ(shown[0].Text, "picker broke");
  form->CheckBoxSubDirs->setChecked(false);
  EXPECT_FALSE(form->Values.SubDirs) << "handlers still run";
}

// The window shown and active, as keys need it.
void Activate(app::TForm1& Form) {
  Form.show();
  QApplication::setActiveWindow(&Form);
  Form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
}

TEST_F(WindowTest, TheKeyboardAloneWorksEveryControl) {
  WriteFile(Path("src/a.txt"), TextBytes(3000, 1));
  auto form = MakeForm();
  form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";
  form->Values.BackupFileName = QString::fromStdString(Path("out.bkp"));
  form->CheckBoxSize->setChecked(true);  // so that the size controls take part
  Activate(*form);

  // Mnemonics: Alt+B backs up, Alt+I opens the archive picker through its
  // label, Alt+L moves to the level list. A button pressed by its mnemonic
  // shows itself pressed for a moment before it acts.
  QTest::keyClick(form.get(), Qt::Key_B, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] {
    return form->StatusLine().startsWith(" Files backed up: 1 ");
  })) << form->StatusLine().toStdString();
  EXPECT_TRUE(fs::exists(Path("out.bkp")));
  QTest::keyClick(form.get(), Qt::Key_I, Qt::AltModifier);
  EXPECT_TRUE(QTest::qWaitFor([&] { return saveDialogCalls.size() == 1; }));
  QTest::keyClick(form.get(), Qt::Key_L, Qt::AltModifier);
  EXPECT_EQ(QApplication::focusWidget(), form->ComboBoxCompressionLevel);

  // F1 opens About.
  bool aboutShown = false;
  QTimer::singleShot(0, form.get(), [&] {
    aboutShown = form->AboutBox->isVisible();
    form->AboutBox->reject();
  });
  QTest::keyClick(form.get(), Qt::Key_F1);
  EXPECT_TRUE(aboutShown);

  // Tab visits every control that takes input, Backup first.
  Activate(*form);
  form->ButtonBackup->setFocus();
  std::set<QWidget*> reached;
  for (int i = 0; i < 30; ++i) {
    reached.insert(QApplication::focusWidget());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  for (QWidget* control : std::initializer_list<QWidget*>{
           form->ButtonBackup, form->ButtonRestore, form->ButtonStop, form->ButtonBackupFile,
           form->ButtonBackupFolder, form->ButtonRestoreFolder, form->ComboBoxCompressionLevel,
           form->ComboBoxRestoreMode, form->CheckBoxSubDirs, form->EditSize, form->ComboBoxSize,
           form->CheckBoxSize})
    EXPECT_TRUE(reached.count(control)) << control->objectName().toStdString();

  // A list changes with the arrow keys, a check box with Space.
  form->ComboBoxCompressionLevel->setFocus();
  QTest::keyClick(form->ComboBoxCompressionLevel, Qt::Key_Down);
  EXPECT_EQ(form->Values.LevelIndex, 1);
  form->CheckBoxSubDirs->setFocus();
  QTest::keyClick(form->CheckBoxSubDirs, Qt::Key_Space);
  EXPECT_FALSE(form->Values.SubDirs);

  // Ctrl+Q quits, writing the settings.
  QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(QFile::exists(SettingsPath()));
  EXPECT_TRUE(shown.empty());
}

// A failure names a path and a reason, which can be longer than the fixed
// window: the status bar shows both ends of it and keeps the whole as a tip.
TEST_F(WindowTest, ALongStatusLineIsShortenedInTheMiddleNotCutOff) {
  auto form = MakeForm();
  form->Values.BackupFolder = QString::fromStdString(Path("src")) + "/";
  form->Values.BackupFileName =
      QString::fromStdString(Path("blocker/" + std::string(150, 'n') + "/out.bkp"));
  WriteFile(Path("src/a.txt"), "a");
  WriteFile(Path("blocker"), "a file where a folder is needed");
  Answer(*form);
  Activate(*form);
  form->ButtonBackup->click();
  const QString line = form->StatusLine();
  ASSERT_TRUE(line.contains("out.bkp")) << line.toStdString();
  const auto* label = form->StatusBar1->findChild<QLabel*>();
  ASSERT_NE(label, nullptr);
  EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width());
  EXPECT_TRUE(label->text().startsWith(line.left(8))) << label->text().toStdString();
  EXPECT_TRUE(label->text().endsWith(line.right(8))) << label->text().toStdString();
  EXPECT_EQ(label->toolTip(), line);
}

TEST_F(WindowTest, ErrorBoxesAreWideEnoughForTheirCaption) {
  auto form = std::make_unique<app::TForm1>(SettingsPath(), AppFolder());
  app::TDialogs dialogs = app::StandardDialogs(form.get());
  const QString caption = QStringLiteral("Kelmora 1.0 - a caption far longer than its message");
  int width = 0;
  QString title;
  QTimer::singleShot(0, form.get(), [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      width = box->width();
      title = box->windowTitle();
      box->accept();
    }
  });
  dialogs.ShowError(caption, QStringLiteral("Failed"));
  EXPECT_EQ(title, caption);
  QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
  font.setBold(true);
  EXPECT_GT(width, QFontMetrics(font).horizontalAdvance(caption) + 60)
      << "room for the caption beside the title bar's icon and buttons";
}

}  // namespace
}  // namespace kelmora::test

// The main window's fixed layout: every control where it belongs, with its
// text, state and tab order, and a window that cannot be resized.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>

#include "form_fixture.h"
#include "widgets/cgauge.h"
#include "widgets/folder_dialog.h"
#include "widgets/winxp.h"

namespace kelmora::test {
namespace {

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
  EXPECT_EQ(form->MAbout->text(), "About");
  EXPECT_EQ(form->MExit->text(), "Exit");
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

}  // namespace
}  // namespace kelmora::test

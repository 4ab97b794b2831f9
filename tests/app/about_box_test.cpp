// SPDX-License-Identifier: GPL-3.0-or-later
//
// The About dialog: its fixed layout and looks, the link that changes
// colour under the pointer and opens its own text, and the ways it closes.
#include "app/about_box.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include "form_fixture.h"

namespace kelmora::test {
namespace {

using app::TAboutBox;

void MoveOver(QWidget* Widget) {
  QMouseEvent move(QEvent::MouseMove, QPointF(2, 2), Widget->mapToGlobal(QPointF(2, 2)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(Widget, &move);
}

void PressOn(QWidget* Widget, Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers = {}) {
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), Widget->mapToGlobal(QPointF(2, 2)),
                    Button, Button, Modifiers);
  QApplication::sendEvent(Widget, &press);
}

QColor TextColor(const QLabel* Label) {
  return Label->palette().color(QPalette::WindowText);
}

class AboutBoxTest : public FormTest {};

TEST_F(AboutBoxTest, LayoutColoursAndFonts) {
  TAboutBox box;
  EXPECT_EQ(box.objectName(), "AboutBox");
  EXPECT_EQ(box.windowTitle(), "About Program");
  EXPECT_EQ(box.size(), QSize(321, 161));
  EXPECT_EQ(box.minimumSize(), box.maximumSize());
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(box.windowIcon().isNull());
  EXPECT_EQ(box.Panel1->geometry(), QRect(8, 8, 305, 145));
  EXPECT_EQ(box.ProgramIcon->geometry(), QRect(8, 8, 32, 32));
  EXPECT_FALSE(box.ProgramIcon->pixmap().isNull());
  EXPECT_EQ(box.OKButton->geometry(), QRect(119, 116, 74, 25));
  EXPECT_EQ(box.OKButton->parentWidget(), &box) << "on the dialog, in front of the panel";
  EXPECT_TRUE(box.OKButton->isDefault());

  const struct {
    QLabel* Label;
    QPoint Corner;
    QString Text;
    QColor Colour;
    bool Bold, Underline;
  } labels[] = {
      {box.LabelTitle, {48, 8}, "Kelmora 1.0", QColor(0, 0, 128), true, false},
      {box.LabelAbout, {48, 24}, "backup and restore files", QColor(128, 0, 0), false, false},
      {box.LabelAuthor, {8, 48}, TAboutBox::kAuthor, QColor(0, 0, 128), true, false},
      {box.LabelEmail, {8, 64}, TAboutBox::kEmail, QColor(0, 128, 128), true, false},
      {box.LabelSite, {8, 80}, "https://kelmora.org", QColor(0, 0, 255), false, true},
      {box.LabelLicense, {8, 96}, TAboutBox::kLicense, QColor(0, 0, 128), false, false},
  };
  for (const auto& l : labels) {
    const std::string name = l.Label->objectName().toStdString();
    EXPECT_EQ(l.Label->parentWidget(), box.Panel1) << name;
    EXPECT_EQ(l.Label->pos(), l.Corner) << name;
    EXPECT_EQ(l.Label->text(), l.Text) << name;
    EXPECT_EQ(TextColor(l.Label), l.Colour) << name;
    EXPECT_EQ(l.Label->font().bold(), l.Bold) << name;
    EXPECT_EQ(l.Label->font().underline(), l.Underline) << name;
    EXPECT_GE(l.Label->width(), l.Label->fontMetrics().horizontalAdvance(l.Text)) << name;
  }
  // The licence is named, and stands clear of the button below it.
  EXPECT_TRUE(box.LabelLicense->text().contains("GPL"));
  EXPECT_TRUE(box.LabelLicense->text().contains('3'));
  EXPECT_LE(box.LabelLicense->geometry().bottom() + box.Panel1->y(), box.OKButton->y());
  EXPECT_LE(box.LabelLicense->geometry().right(), box.Panel1->width() - 4);
  EXPECT_TRUE(box.LabelEmail->wordWrap());
  EXPECT_TRUE(box.LabelEmail->text().contains('@'));
}

TEST_F(AboutBoxTest, LinkTurnsRedUnderThePointerAndBlueOverThePanel) {
  TAboutBox box;
  box.show();
  MoveOver(box.LabelSite);
  EXPECT_EQ(box.LinkColor(), QColor(255, 0, 0));
  EXPECT_EQ(box.LabelSite->cursor().shape(), Qt::PointingHandCursor);
  MoveOver(box.Panel1);
  EXPECT_EQ(box.LinkColor(), QColor(0, 0, 255));
  MoveOver(box.LabelSite);
  EXPECT_EQ(box.LinkColor(), QColor(255, 0, 0));
}

TEST_F(AboutBoxTest, AnyButtonOpensTheLabelsOwnText) {
  TAboutBox box;
  QStringList opened;
  box.OpenUrl = [&](const QString& Text) { opened << Text; };
  PressOn(box.LabelSite, Qt::LeftButton);
  PressOn(box.LabelSite, Qt::RightButton, Qt::ShiftModifier);
  PressOn(box.LabelSite, Qt::MiddleButton);
  EXPECT_EQ(opened, QStringList(3, "https://kelmora.org"));
  box.SetCaption(box.LabelSite, "https://kelmora.org/ru/");
  PressOn(box.LabelSite, Qt::LeftButton);
  EXPECT_EQ(opened.back(), "https://kelmora.org/ru/");
  PressOn(box.Panel1, Qt::LeftButton);
  EXPECT_EQ(opened.size(), 4) << "the panel opens nothing";
}

TEST_F(AboutBoxTest, EnterOkAndCloseBoxCloseTheDialog) {
  TAboutBox box;
  QTimer::singleShot(0, &box, [&] {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&box, &enter);
  });
  EXPECT_EQ(box.exec(), QDialog::Accepted);
  QTimer::singleShot(0, &box, [&] { box.OKButton->click(); });
  EXPECT_EQ(box.exec(), QDialog::Accepted);
  QTimer::singleShot(0, &box, [&] { box.close(); });
  EXPECT_EQ(box.exec(), QDialog::Rejected);
  EXPECT_FALSE(box.isVisible());
}

TEST_F(AboutBoxTest, LanguageChangesTheLinkItOpens) {
  WriteFile(AppFolder().toStdString() + "language/Russian.ini",
            "[Interface]\nAboutBox->LabelSite->Caption=https://kelmora.org/ru/\n");
  auto form = MakeForm();
  QStringList opened;
  form->AboutBox->OpenUrl = [&](const QString& Text) { opened << Text; };
  form->MLangRussianClick();
  PressOn(form->AboutBox->LabelSite, Qt::LeftButton);
  EXPECT_EQ(opened, QStringList{"https://kelmora.org/ru/"});
  EXPECT_GE(form->AboutBox->LabelSite->width(),
            form->AboutBox->LabelSite->fontMetrics().horizontalAdvance("https://kelmora.org/ru/"));
}

}  // namespace
}  // namespace kelmora::test

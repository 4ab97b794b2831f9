// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/about_box.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

#include "app/application.h"
#include "app/resources.h"

namespace kelmora::app {

namespace {

QLabel* MakeLabel(QWidget* Parent, int X, int Y, int W, int H, const QString& Text,
                  const QColor& Color, bool Bold, bool Underline) {
  auto* label = new QLabel(Parent);
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(X, Y, W, H);
  QFont font = label->font();
  font.setBold(Bold);
  font.setUnderline(Underline);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, Color);
  label->setPalette(palette);
  label->setText(Text);
  return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* Parent) : QDialog(Parent) {
  InitResources();
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(kCaption);
  setWindowIcon(ApplicationIcon());
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setModal(true);
  setFont(InterfaceFont());
  setFixedSize(kClientWidth, kClientHeight);

  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  // An etched edge: lowered outside, raised inside.
  Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setGeometry(8, 8, 305, 145);
  Panel1->setMouseTracking(true);
  Panel1->installEventFilter(this);

  ProgramIcon = new QLabel(Panel1);
  ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
  ProgramIcon->setGeometry(8, 8, 32, 32);
  ProgramIcon->setScaledContents(true);
  ProgramIcon->setPixmap(ApplicationPixmap());

  const QColor navy(0, 0, 128), maroon(128, 0, 0), teal(0, 128, 128);
  LabelTitle = MakeLabel(Panel1, 48, 8, 96, 13, QStringLiteral("Kelmora 1.0"), navy, true, false);
  LabelAbout = MakeLabel(Panel1, 48, 24, 113, 13, QStringLiteral("backup and restore files"),
                         maroon, false, false);
  LabelAuthor = MakeLabel(Panel1, 8, 48, 93, 13, kAuthor, navy, true, false);
  LabelEmail = MakeLabel(Panel1, 8, 64, 146, 13, kEmail, teal, true, false);
  LabelEmail->setWordWrap(true);
  LabelSite = MakeLabel(Panel1, 8, 80, 209, 13, kSite, kLinkColor, false, true);
  LabelSite->setMouseTracking(true);
  LabelSite->installEventFilter(this);
  // Between the link and the button, which begins at 116 on the dialog.
  LabelLicense = MakeLabel(Panel1, 8, 96, 209, 13, kLicense, navy, false, false);
  const std::pair<QLabel*, const char*> names[] = {
      {LabelTitle, "LabelTitle"}, {LabelAbout, "LabelAbout"}, {LabelAuthor, "LabelAuthor"},
      {LabelEmail, "LabelEmail"}, {LabelSite, "LabelSite"},   {LabelLicense, "LabelLicense"}};
  for (const auto& [label, name] : names) {
    label->setObjectName(QString::fromLatin1(name));
    SetCaption(label, label->text());
  }

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName(QStringLiteral("OKButton"));
  OKButton->setGeometry(119, 116, 74, 25);
  OKButton->setDefault(true);
  OKButton->raise();
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  OpenUrl = [](const QString& Text) { QDesktopServices::openUrl(QUrl::fromUserInput(Text)); };

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TAboutBox::SetCaption(QLabel* Label, const QString& Text) {
  Label->setText(Text);
  if (Label->wordWrap()) {
    Label->resize(Label->width(), std::max(13, Label->heightForWidth(Label->width())));
  } else {
    Label->resize(Label->fontMetrics().horizontalAdvance(Text) + 1, Label->height());
  }
}

QColor TAboutBox::LinkColor() const {
  return LabelSite->palette().color(QPalette::WindowText);
}

void TAboutBox::SetLinkColor(const QColor& Color) {
  QPalette palette = LabelSite->palette();
  palette.setColor(QPalette::WindowText, Color);
  LabelSite->setPalette(palette);
}

void TAboutBox::LabelSiteMouseMove() {
  LabelSite->setCursor(Qt::PointingHandCursor);
  SetLinkColor(kLinkHoverColor);
}

void TAboutBox::Panel1MouseMove() {
  SetLinkColor(kLinkColor);
}

void TAboutBox::LabelSiteMouseDown() {
  // Whatever the shell makes of the text, the dialog says nothing.
  if (OpenUrl) OpenUrl(LabelSite->text());
}

bool TAboutBox::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == LabelSite) {
    if (Event->type() == QEvent::MouseMove) {
      LabelSiteMouseMove();
      return true;
    }
    if (Event->type() == QEvent::MouseButtonPress) {
      LabelSiteMouseDown();
      return true;
    }
  } else if (Watched == Panel1 && Event->type() == QEvent::MouseMove) {
    Panel1MouseMove();
  }
  return QDialog::eventFilter(Watched, Event);
}

}  // namespace kelmora::app

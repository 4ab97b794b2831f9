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

QLabel* MakeLabel(QWidget* parent, int x, int y, int w, int h, const QString& text,
                  const QColor& color, bool bold, bool underline) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setGeometry(x, y, w, h);
  QFont font = label->font();
  font.setBold(bold);
  font.setUnderline(underline);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->setText(text);
  return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
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
  const std::pair<QLabel*, const char*> names[] = {{LabelTitle, "LabelTitle"},
                                                   {LabelAbout, "LabelAbout"},
                                                   {LabelAuthor, "LabelAuthor"},
                                                   {LabelEmail, "LabelEmail"},
                                                   {LabelSite, "LabelSite"}};
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

  OpenUrl = [](const QString& text) { QDesktopServices::openUrl(QUrl::fromUserInput(text)); };

  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TAboutBox::SetCaption(QLabel* label, const QString& text) {
  label->setText(text);
  if (label->wordWrap()) {
    label->resize(label->width(), std::max(13, label->heightForWidth(label->width())));
  } else {
    label->resize(label->fontMetrics().horizontalAdvance(text) + 1, label->height());
  }
}

QColor TAboutBox::LinkColor() const {
  return LabelSite->palette().color(QPalette::WindowText);
}

void TAboutBox::SetLinkColor(const QColor& color) {
  QPalette palette = LabelSite->palette();
  palette.setColor(QPalette::WindowText, color);
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

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == LabelSite) {
    if (event->type() == QEvent::MouseMove) {
      LabelSiteMouseMove();
      return true;
    }
    if (event->type() == QEvent::MouseButtonPress) {
      LabelSiteMouseDown();
      return true;
    }
  } else if (watched == Panel1 && event->type() == QEvent::MouseMove) {
    Panel1MouseMove();
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace kelmora::app

// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/application.h"

#include <QMessageBox>

#include "app/dialogs.h"

namespace kelmora::app {

namespace {

QString& Title() {
  static QString title;
  return title;
}

}  // namespace

QString ApplicationTitle() {
  return Title();
}
void SetApplicationTitle(const QString& Caption) {
  Title() = Caption;
}

QFont InterfaceFont() {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPixelSize(10);
  return font;
}

void ShowException(const std::exception& Error) {
  QMessageBox box(QMessageBox::Critical, ApplicationTitle(), QString::fromUtf8(Error.what()),
                  QMessageBox::Ok, QApplication::activeWindow());
  FitCaption(box);
  box.exec();
}

TApplication::TApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (const std::exception& error) {
    ShowException(error);
  }
  return false;
}

}  // namespace kelmora::app

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
void SetApplicationTitle(const QString& title) {
  Title() = title;
}

QFont InterfaceFont() {
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPixelSize(10);
  return font;
}

void ShowException(const std::exception& error) {
  QMessageBox box(QMessageBox::Critical, ApplicationTitle(), QString::fromUtf8(error.what()),
                  QMessageBox::Ok, QApplication::activeWindow());
  FitCaption(box);
  box.exec();
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
  }
  return false;
}

}  // namespace kelmora::app

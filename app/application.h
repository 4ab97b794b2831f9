// SPDX-License-Identifier: GPL-3.0-or-later
//
// The application object: keeps the application's title and shows any
// exception that escapes an event handler in an error box, after which the
// application goes on running.
#pragma once

#include <QApplication>
#include <QFont>
#include <QString>
#include <exception>

namespace kelmora::app {

// The title of the application (the main window sets it to its caption);
// message boxes of the application carry it as their caption.
QString ApplicationTitle();
void SetApplicationTitle(const QString& Caption);

// The font of the windows. The layout is fixed in pixels, so is the font
// size; at this size every text of both shipped languages fits its control.
QFont InterfaceFont();

// The error box for an exception that escaped a handler.
void ShowException(const std::exception& Error);

class TApplication : public QApplication {
 public:
  TApplication(int& Argc, char** Argv);
  bool notify(QObject* Receiver, QEvent* Event) override;
};

}  // namespace kelmora::app

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kelmora's desktop application: one window, run until it closes.
#include <QCoreApplication>
#include <QTimer>
#include <exception>

#include "app/application.h"
#include "app/main_window.h"
#include "app/paths.h"
#include "app/resources.h"

int main(int argc, char** argv) {
  using namespace kelmora::app;
  try {
    TApplication application(argc, argv);
    application.setWindowIcon(ApplicationIcon());
    // Menus and message boxes are windows of their own; they share the
    // main window's font this way.
    application.setFont(InterfaceFont());
    try {
      TForm1 form(SettingsPathFor(ExecutablePath()), ExecutableFolder());
      form.show();
      // kelmora ARCHIVE opens the archive's contents once the window is up.
      QTimer::singleShot(0, &form,
                         [&form] { form.OpenFromCommandLine(QCoreApplication::arguments()); });
      application.exec();
    } catch (const std::exception& error) {
      ShowException(error);
    }
  } catch (const std::exception&) {
    // Without an application object there is nothing to show a box on.
  }
  return 0;
}

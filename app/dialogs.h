// Every modal question and message the application puts to the user goes
// through one of these, so that tests can answer them without a person.
#pragma once

#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

namespace kelmora::app {

struct TDialogs {
  // Plain box: no icon, one OK button.
  std::function<void(const QString& Caption, const QString& Text)> ShowMessage;
  // Error icon, one OK button.
  std::function<void(const QString& Caption, const QString& Text)> ShowError;
  // Question icon, Yes and No; true for Yes.
  std::function<bool(const QString& Caption, const QString& Text)> AskYesNo;
  // Information icon, OK and Cancel; true for OK.
  std::function<bool(const QString& Caption, const QString& Text)> AskOkCancel;
  // File-save dialog opened in Folder with Name, Filter in the "text|pattern"
  // form; the chosen full path, or "" when cancelled.
  std::function<QString(const QString& Folder, const QString& Name, const QString& Filter)>
      AskSaveFile;
};

// Width a window needs for its caption to show whole in the title bar.
int CaptionWidth(const QString& Caption);
// Widens a message box, before it is shown, to the width of its caption.
void FitCaption(QMessageBox& Box);

// The real boxes and dialogs, parented to Parent.
TDialogs StandardDialogs(QWidget* Parent);

// "Backup File (*.bkp)|*.bkp" -> {"Backup File (*.bkp)"}; patterns separated
// by ";" become blank-separated, as the file dialog expects them.
QStringList FileDialogFilters(const QString& Filter);

}  // namespace kelmora::app

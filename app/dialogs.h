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
  std::function<void(const QString& caption, const QString& text)> ShowMessage;
  // Error icon, one OK button.
  std::function<void(const QString& caption, const QString& text)> ShowError;
  // Question icon, Yes and No; true for Yes.
  std::function<bool(const QString& caption, const QString& text)> AskYesNo;
  // Information icon, OK and Cancel; true for OK.
  std::function<bool(const QString& caption, const QString& text)> AskOkCancel;
  // File-save dialog opened in Folder with Name, filter in the "text|pattern"
  // form; the chosen full path, or "" when cancelled.
  std::function<QString(const QString& folder, const QString& name, const QString& filter)>
      AskSaveFile;
};

// Width a window needs for its caption to show whole in the title bar.
int CaptionWidth(const QString& caption);
// Widens a message box, before it is shown, to the width of its caption.
void FitCaption(QMessageBox& box);

// The real boxes and dialogs, parented to Parent.
TDialogs StandardDialogs(QWidget* parent);

// "Backup File (*.bkp)|*.bkp" -> {"Backup File (*.bkp)"}; patterns separated
// by ";" become blank-separated, as the file dialog expects them.
QStringList FileDialogFilters(const QString& filter);

}  // namespace kelmora::app

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Every modal question and message the application puts to the user goes
// through one of these, so that tests can answer them without a person.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/units.h"

class QFileDialog;
class QMessageBox;
class QWidget;

namespace kelmora::app {

// A file a run could not restore or found damaged, as a list shows it.
struct TProblem {
  QString File;
  uint16_t Volume = 0;  // 0 when the problem lies in no volume
  int64_t Offset = -1;  // from the start of that volume; -1 when none
  QString Reason;
};

// Where chosen files go: back to the paths they were backed up from; under
// a folder with their stored folders; under a folder without the folders
// they all share (as kelmora-cli restore --relative).
enum class TPlacement { OriginalPlaces, WithFolders, Relative };

struct TRestoreRequest {
  int32_t Files = 0;
  int64_t Bytes = 0;
  bool Estimated = false;  // Bytes holds estimates
  QString Folder;          // ends in "/"
  TPlacement Placement = TPlacement::WithFolders;
  QString Mode;  // the main window's restore mode, as its list names it
};

// What the user did when a volume was missing: OK (look again), a file
// picked from another folder, or Cancel.
struct TVolumeAnswer {
  bool Continue = false;
  QString File;  // the file picked; "" to look beside the others
};

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
  // File-open dialog for an archive, opened in Folder; "" when cancelled.
  std::function<QString(const QString& Folder, const QString& Filter)> AskOpenFile;
  // Information icon, OK, Browse... and Cancel: a missing volume asked for.
  std::function<TVolumeAnswer(const QString& Caption, const QString& Text, const QString& Folder)>
      AskVolume;
  // Where chosen files are restored; false when cancelled.
  std::function<bool(TRestoreRequest& Request)> AskRestore;
  // A list of files with what went wrong with each, under Text.
  std::function<void(const QString& Caption, const QString& Text,
                     const std::vector<TProblem>& Problems)>
      ShowProblems;
  // A desktop notification; nothing when no notification service answers.
  std::function<void(const QString& Title, const QString& Body)> Notify;
};

// Width a window needs for its caption to show whole in the title bar.
int CaptionWidth(const QString& Caption);
// Widens a message box, before it is shown, to the width of its caption.
void FitCaption(QMessageBox& Box);

// Qt's own file dialog shows its files' dates in the interface language's
// locale rather than the system's (a native dialog keeps the desktop's).
void DateFilesInInterfaceLocale(QFileDialog& Dialog);

// The real boxes and dialogs, parented to Parent; Text gives the texts of
// the dialogs this application adds (their keys when it is unset).
TDialogs StandardDialogs(QWidget* Parent, TTextSource Text = {});

// "Backup File (*.bkp)|*.bkp" -> {"Backup File (*.bkp)"}; patterns separated
// by ";" become blank-separated, as the file dialog expects them.
QStringList FileDialogFilters(const QString& Filter);

}  // namespace kelmora::app

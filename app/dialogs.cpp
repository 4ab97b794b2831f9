// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/dialogs.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIdentityProxyModel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

#include "app/notifier.h"
#include "app/problem_list.h"
#include "app/restore_dialog.h"

namespace kelmora::app {

namespace {

int RunBox(QWidget* Parent, QMessageBox::Icon Icon, const QString& Caption, const QString& Text,
           QMessageBox::StandardButtons Buttons, QMessageBox::StandardButton DefaultButton) {
  QMessageBox box(Icon, Caption, Text, Buttons, Parent);
  box.setDefaultButton(DefaultButton);
  FitCaption(box);
  return box.exec();
}

// Qt's own file dialog dates its files in the system's locale; these are
// dated in the interface language's, as the rest of the window is.
class TLocalDates : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  QVariant data(const QModelIndex& Index, int Role) const override {
    if (Role == Qt::DisplayRole && Index.column() == kDateColumn) {
      if (const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel()))
        return QLocale().toString(files->lastModified(mapToSource(Index)), QLocale::ShortFormat);
    }
    return QIdentityProxyModel::data(Index, Role);
  }

 private:
  static constexpr int kDateColumn = 3;
};

}  // namespace

void DateFilesInInterfaceLocale(QFileDialog& Dialog) {
  // A native dialog is the desktop's, in the desktop's language: it takes
  // no proxy, and Qt leaves it alone.
  Dialog.setProxyModel(new TLocalDates(&Dialog));
}

int CaptionWidth(const QString& Caption) {
  // The window manager draws the caption in its own title font, beside an
  // icon and up to three buttons; the platform's title font stands in for
  // it, and a button's room is taken as a square of the caption's height.
  QFont font = QFontDatabase::systemFont(QFontDatabase::TitleFont);
  font.setBold(true);
  const QFontMetrics metrics(font);
  return metrics.horizontalAdvance(Caption) + 4 * metrics.height() + 32;
}

void FitCaption(QMessageBox& Box) {
  // A message box sizes itself to its text and ignores a minimum width;
  // a spacer across its grid is what widens it.
  const int width = CaptionWidth(Box.windowTitle());
  if (auto* grid = qobject_cast<QGridLayout*>(Box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
  } else {
    Box.setMinimumWidth(width);
  }
}

QStringList FileDialogFilters(const QString& Filter) {
  const QStringList parts = Filter.split('|');
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString description = parts[i].trimmed();
    const QString patterns = parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ').trimmed();
    // The dialog takes its patterns from the last parentheses of each entry.
    if (description.endsWith("(" + patterns + ")"))
      result << description;
    else
      result << QStringLiteral("%1 (%2)").arg(description, patterns);
  }
  if (result.isEmpty()) result << QStringLiteral("* (*)");
  return result;
}

// A box comes up over the window the user works in, a contents window say,
// and over the owner when no window of the application is active.
QWidget* BoxParent(const QPointer<QWidget>& Owner) {
  QWidget* active = QApplication::activeWindow();
  return active != nullptr ? active : Owner.data();
}

TDialogs StandardDialogs(QWidget* Parent, TTextSource Text) {
  QPointer<QWidget> owner(Parent);
  if (!Text) Text = [](const QString& Key) { return Key; };
  TDialogs d;
  d.ShowMessage = [owner](const QString& Caption, const QString& Text) {
    RunBox(BoxParent(owner), QMessageBox::NoIcon, Caption, Text, QMessageBox::Ok, QMessageBox::Ok);
  };
  d.ShowError = [owner](const QString& Caption, const QString& Text) {
    RunBox(BoxParent(owner), QMessageBox::Critical, Caption, Text, QMessageBox::Ok,
           QMessageBox::Ok);
  };
  d.AskYesNo = [owner](const QString& Caption, const QString& Text) {
    return RunBox(BoxParent(owner), QMessageBox::Question, Caption, Text,
                  QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
  };
  d.AskOkCancel = [owner](const QString& Caption, const QString& Text) {
    return RunBox(BoxParent(owner), QMessageBox::Information, Caption, Text,
                  QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) == QMessageBox::Ok;
  };
  d.AskSaveFile = [owner](const QString& Folder, const QString& Name, const QString& Filter) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // The caller appends the extension itself and never asks before
    // replacing an archive name.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    DateFilesInInterfaceLocale(dialog);
    if (!Folder.isEmpty()) dialog.setDirectory(Folder);
    dialog.setNameFilters(FileDialogFilters(Filter));
    dialog.selectFile(Name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().front();
  };
  d.AskOpenFile = [owner, Text](const QString& Folder, const QString& Filter) {
    QFileDialog dialog(owner, Text(QStringLiteral("Open->Caption")));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    DateFilesInInterfaceLocale(dialog);
    if (!Folder.isEmpty()) dialog.setDirectory(Folder);
    dialog.setNameFilters(FileDialogFilters(Filter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().front();
  };
  d.AskVolume = [owner, Text](const QString& Caption, const QString& Question,
                              const QString& Folder) {
    for (;;) {
      QMessageBox box(QMessageBox::Information, Caption, Question,
                      QMessageBox::Ok | QMessageBox::Cancel, BoxParent(owner));
      QPushButton* browse =
          box.addButton(Text(QStringLiteral("Message->Browse")), QMessageBox::ActionRole);
      box.setDefaultButton(QMessageBox::Ok);
      FitCaption(box);
      box.exec();
      if (box.clickedButton() == box.button(QMessageBox::Ok)) return TVolumeAnswer{true, {}};
      if (box.clickedButton() != browse) return TVolumeAnswer{};
      // A volume picked from another folder; cancelling the picker asks again.
      QFileDialog picker(BoxParent(owner), Caption, Folder);
      picker.setFileMode(QFileDialog::ExistingFile);
      DateFilesInInterfaceLocale(picker);
      if (picker.exec() == QDialog::Accepted && !picker.selectedFiles().isEmpty())
        return TVolumeAnswer{true, picker.selectedFiles().front()};
    }
  };
  d.AskRestore = [owner, Text](TRestoreRequest& Request) {
    TRestoreDialog dialog(Request, Text, BoxParent(owner));
    if (dialog.exec() != QDialog::Accepted) return false;
    Request = dialog.Request();
    return true;
  };
  d.ShowProblems = [owner, Text](const QString& Caption, const QString& Message,
                                 const std::vector<TProblem>& Problems) {
    TProblemList list(Caption, Message, Problems, Text, BoxParent(owner));
    list.exec();
  };
  d.Notify = [](const QString& Title, const QString& Body) {
    SendDesktopNotification(QDBusConnection::sessionBus(), Title, Body);
  };
  return d;
}

}  // namespace kelmora::app

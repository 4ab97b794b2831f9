// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/folder_dialog.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace kelmora::widgets {
namespace {

constexpr uint32_t kVersionNr = 0x01010000;

struct OptionFlag {
  TOption option;
  int flag;
};

// The browse flag each option stands for. Settings and callers exchange the
// flags word, so these values are fixed.
constexpr OptionFlag kOptionFlags[] = {
    {fdoBrowseForComputer, 0x1000}, {fdoBrowseForPrinter, 0x2000},  {fdoDontgoBelowDomain, 0x0002},
    {fdoReturnFSAncestors, 0x0008}, {fdoReturnOnlyFSDirs, 0x0001},  {fdoStatusText, 0x0004},
    {fdoNewDialogStyle, 0x0040},    {fdoNoNewFolderButton, 0x0200}, {fdoEditBox, 0x0010},
};

// Moves the picker once it is about to appear, when its frame size is known,
// reading the placement at that moment.
class WindowPlacer : public QObject {
 public:
  WindowPlacer(const TFolderDialog& Owner, QWidget& Window) : owner_(Owner), window_(Window) {
    window_.installEventFilter(this);
  }

  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Watched == &window_ && Event->type() == QEvent::Show && !placed_) {
      placed_ = true;
      const QScreen* screen = window_.screen();
      const QSize desktop = screen != nullptr ? screen->virtualSize() : QSize();
      window_.move(TFolderDialog::PlaceWindow(owner_.DialogPosition(), window_.frameGeometry(),
                                              desktop, owner_.DialogX(), owner_.DialogY()));
    }
    return QObject::eventFilter(Watched, Event);
  }

 private:
  const TFolderDialog& owner_;
  QWidget& window_;
  bool placed_ = false;
};

bool IsExistingDirectory(const QString& Path) {
  return !Path.isEmpty() && QFileInfo(Path).isDir();
}

}  // namespace

TFolderDialog::TFolderDialog(QObject* Owner) : QObject(Owner), directory_(QDir::currentPath()) {}

bool TFolderDialog::Execute() {
  // The replacement stays even when the user cancels: Directory then names a
  // folder that exists, which is what the caller shows next.
  if (!IsExistingDirectory(directory_)) directory_ = QDir::currentPath();

  bool chosen = false;
  try {
    // The platform's own dialog could not be moved or captioned.
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setDirectory(directory_);
    if (!caption_.isEmpty()) dialog.setWindowTitle(caption_);
    // The title line sits above the folder list, where Qt's picker labels it.
    if (!title_.isEmpty()) dialog.setLabelText(QFileDialog::LookIn, title_);
    // Only the newer browser style offers to create folders, and only when
    // the caller did not ask it not to. Qt cannot hide the button alone, so
    // the dialog is made read-only instead.
    if (!options_.testFlag(fdoNewDialogStyle) || options_.testFlag(fdoNoNewFolderButton)) {
      dialog.setOption(QFileDialog::ReadOnly);
    }
    WindowPlacer placer(*this, dialog);

    if (RunDialog(dialog)) {
      const QStringList selected = dialog.selectedFiles();
      if (!selected.isEmpty() && IsExistingDirectory(selected.first())) {
        directory_ = QDir::cleanPath(selected.first());
        chosen = true;
      }
    }
  } catch (...) {
    // A failure inside the picker counts as no selection.
    chosen = false;
  }
  return chosen;
}

bool TFolderDialog::RunDialog(QFileDialog& Dialog) {
  return Dialog.exec() == QDialog::Accepted;
}

QString TFolderDialog::GetVersion() const {
  const uint32_t nr = GetVersionNr();
  return QString("%1.%2.%3.%4")
      .arg((nr >> 24) & 0xFF)
      .arg((nr >> 16) & 0xFF)
      .arg((nr >> 8) & 0xFF)
      .arg(nr & 0xFF);
}

uint32_t TFolderDialog::GetVersionNr() const {
  return kVersionNr;
}

int TFolderDialog::ShellFlags() const {
  int flags = 0;
  for (const OptionFlag& entry : kOptionFlags) {
    if (options_.testFlag(entry.option)) flags |= entry.flag;
  }
  return flags;
}

QPoint TFolderDialog::PlaceWindow(TDialogPosition Position, QRect WindowRect, QSize VirtualDesktop,
                                  int X, int Y) {
  switch (Position) {
    case fdpScreenCenter:
      // The desktop's origin is not added: on X11 it is always (0, 0).
      return QPoint(VirtualDesktop.width() / 2 - WindowRect.width() / 2,
                    VirtualDesktop.height() / 2 - WindowRect.height() / 2);
    case fdpXY:
      return QPoint(std::max(X, 0), std::max(Y, 0));
    case fdpDefault:
      break;
  }
  return WindowRect.topLeft();
}

}  // namespace kelmora::widgets

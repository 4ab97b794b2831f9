// SPDX-License-Identifier: GPL-3.0-or-later
//
// TArchiveWindow: the contents of one archive. A tree of its stored folders
// and files with size, packed size, date and volume, sortable by any column;
// a filter field that takes the patterns of restore -i; totals and the
// archive's title; Restore... for the files chosen and Test for the whole
// archive, each run shown in this window's own gauge and status line. The
// runs themselves belong to the main window, which owns the one engine.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/run_view.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTimer;
class QTreeView;

namespace kelmora::widgets {
class TCGauge;
}

namespace kelmora::app {

class TArchiveModel;
class TForm1;

class TArchiveWindow : public QMainWindow, public TRunView {
  Q_OBJECT

 public:
  TArchiveWindow(TForm1& Owner, const QString& Archive);
  ~TArchiveWindow() override;

  const QString& Archive() const { return archive_; }

  QLabel* LabelFilter;
  QLineEdit* EditFilter;
  QPushButton* ButtonRestore;
  QPushButton* ButtonTest;
  QPushButton* ButtonStop;
  QLabel* LabelNotice;  // says when the archive could not be read to its end
  QTreeView* Tree;
  TArchiveModel* Model;
  QLabel* LabelTotals;
  widgets::TCGauge* Gauge;
  QStatusBar* Status;
  QLabel* StatusText;

  // The archive's title from its header, and the volumes its listing read.
  std::string Title;
  int32_t Volumes = 1;

  // Reads the archive into the tree; false (the user told why) when
  // nothing of it can be read.
  bool Load();
  // Narrows the tree to the filter field's patterns now, rather than after
  // the pause in typing it waits for.
  void ApplyFilter();
  // The files Restore... takes: those selected, a folder standing for the
  // files shown in it; every file shown when nothing is selected.
  std::vector<int32_t> ChosenEntries() const;
  // A line above the tree: why the list may be short, or what a test
  // found. An empty function hides it.
  void SetNotice(std::function<QString()> Text);
  QString Notice() const;
  QString StatusLine() const { return statusLine_; }
  // The main window's language changed.
  void Retranslate();
  // Restore... and Test wait while any run goes on.
  void SetCommandsEnabled(bool Enabled);

  // ---- TRunView
  widgets::TCGauge* RunGauge() override { return Gauge; }
  void ShowStatus(std::function<QString()> Text) override;
  QWidget* RunWindow() override { return this; }
  QString RestingTitle() const override;
  void SetRunShown(bool Shown) override;

 protected:
  void closeEvent(QCloseEvent* Event) override;

 private:
  void Build();
  void ShowTotals();
  void OpenLeadingFolders();

  TForm1& owner_;
  QString archive_;
  QTimer* filterTimer_;
  std::function<QString()> statusText_;
  QString statusLine_;
  std::function<QString()> noticeText_;
  bool runShown_ = false;
  bool loading_ = false;
};

}  // namespace kelmora::app

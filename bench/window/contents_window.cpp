// SPDX-License-Identifier: GPL-3.0-or-later
//
// The contents window of a large archive: how long it takes from the
// command to a tree on screen, and how much memory the window holds, with a
// filter and a sort on top. The target is a tree within 1 s and under 64 MB
// for an archive of 100,000 files.
//
//   bench_contents_window [ARCHIVE] [FILES] [RUNS]
//
// Without ARCHIVE, $TMPDIR/kelmora-contents-bench.bkp is made once (when
// missing) by backing up a generated tree of FILES small files (100,000 by
// default) spread over 1,000 folders; both are left in place. Each run opens
// the archive in a fresh window of a fresh main window, on Qt's offscreen
// platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive_model.h"
#include "app/archive_window.h"
#include "app/main_window.h"
#include "kelmora/backup_file.h"

namespace {

// Kilobytes of a /proc/self/status line ("VmRSS:", "VmHWM:").
long StatusKb(const char* Field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = Field;
  while (std::getline(status, line))
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

bool MakeArchive(const std::string& Archive, int Files) {
  const std::string root = Archive + ".tree";
  std::printf("generating %d files under %s ...\n", Files, root.c_str());
  for (int i = 0; i < Files; ++i) {
    const std::string folder =
        root + "/d" + std::to_string(i % 40) + "/e" + std::to_string((i / 40) % 25);
    if (i < 1000) QDir().mkpath(QString::fromStdString(folder));
    std::ofstream out(folder + "/file" + std::to_string(i) + (i % 3 ? ".txt" : ".dat"),
                      std::ios::binary);
    // A few hundred bytes each, some text, some not.
    const int size = 100 + (i * 37) % 900;
    for (int b = 0; b < size; ++b) out.put(static_cast<char>(i % 3 ? 'a' + (b * i) % 26 : b * i));
    if (!out) return false;
  }
  std::printf("backing up into %s ...\n", Archive.c_str());
  kelmora::TBackupFile engine;
  engine.Threads = 0;
  engine.CompressionLevel = kelmora::clFastest;
  return engine.Backup({root + "/*.* /s"}, Archive);
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  return Values[Values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const char* tmp = std::getenv("TMPDIR");
  const std::string archive =
      argc > 1 ? argv[1] : std::string(tmp && *tmp ? tmp : "/tmp") + "/kelmora-contents-bench.bkp";
  const int files = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  if (!QFileInfo::exists(QString::fromStdString(archive)) && !MakeArchive(archive, files)) {
    std::fprintf(stderr, "cannot make %s\n", archive.c_str());
    return 1;
  }
  QApplication application(argc, argv);
  const QString folder = QDir::tempPath() + "/kelmora-contents-bench-app/";
  QDir().mkpath(folder);

  std::vector<double> shownMs, listMs, filterMs, sortMs, windowMb;
  long entries = 0;
  for (int run = 0; run < runs; ++run) {
    kelmora::app::TForm1 form(folder + "kelmora.ini", folder);
    form.Dialogs.ShowError = [](const QString&, const QString& Text) {
      std::fprintf(stderr, "error: %s\n", Text.toLocal8Bit().constData());
    };
    QApplication::processEvents();
    const long before = StatusKb("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    kelmora::app::TArchiveWindow* window = form.OpenArchive(QString::fromStdString(archive));
    if (window == nullptr) return 1;
    const double listed = clock.nsecsElapsed() / 1e6;
    // The first picture of the window, tree included.
    window->grab();
    QApplication::processEvents();
    shownMs.push_back(clock.nsecsElapsed() / 1e6);
    listMs.push_back(listed);
    windowMb.push_back((StatusKb("VmRSS:") - before) / 1024.0);
    entries = window->Model->EntryCount();

    clock.restart();
    window->EditFilter->setText("*7.txt");
    window->ApplyFilter();
    window->grab();
    filterMs.push_back(clock.nsecsElapsed() / 1e6);
    window->EditFilter->clear();
    window->ApplyFilter();
    clock.restart();
    window->Tree->sortByColumn(kelmora::app::TArchiveModel::ColumnPacked, Qt::DescendingOrder);
    window->grab();
    sortMs.push_back(clock.nsecsElapsed() / 1e6);
    window->close();
    form.close();
    QApplication::processEvents();
  }
  std::printf("archive: %s, %ld files\n", archive.c_str(), entries);
  std::printf("tree shown (median of %d):   %8.1f ms   (read and built: %.1f ms)\n", runs,
              Median(shownMs), Median(listMs));
  std::printf("memory of the window:         %8.1f MB   (resident, after it is shown)\n",
              Median(windowMb));
  std::printf("filter *7.txt applied:        %8.1f ms\n", Median(filterMs));
  std::printf("sorted by packed size:        %8.1f ms\n", Median(sortMs));
  std::printf("peak resident size:           %8.1f MB\n", StatusKb("VmHWM:") / 1024.0);
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the main window does with archives it opens: the File menu's Open,
// Contents, Test and recent archives, a dropped archive and one named on the
// command line, and the listing, test and chosen restore behind a contents
// window.
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include "app/application.h"
#include "app/archive_model.h"
#include "app/archive_window.h"
#include "app/main_window.h"
#include "app/paths.h"
#include "app/run_record.h"
#include "kelmora/helpers.h"
#include "widgets/cgauge.h"

namespace kelmora::app {

namespace {

constexpr TRestoreMode kRestoreModes[] = {rmAll, rmNoOverwrite, rmNewer, rmExisting,
                                          rmExistingNewer};

// Where "their original places" are for the engine: the root of the one
// tree on Linux; on Windows no folder at all, so that each name goes back
// to the drive it names.
std::string OriginalPlacesFolder() {
#ifdef Q_OS_WIN
  return {};
#else
  return "/";
#endif
}

QStringList DroppedArchives(const QMimeData* Data) {
  QStringList archives;
  if (Data == nullptr || !Data->hasUrls()) return archives;
  for (const QUrl& url : Data->urls()) {
    const QString path = url.toLocalFile();
    if (!path.isEmpty() && path.endsWith(QStringLiteral(".bkp"), Qt::CaseInsensitive))
      archives << path;
  }
  return archives;
}

}  // namespace

void TForm1::MOpenArchiveClick() {
  const QString chosen =
      Dialogs.AskOpenFile(ExtractFilePath(Values.BackupFileName), Text("Open->Filter"));
  if (!chosen.isEmpty()) OpenArchive(chosen);
}

void TForm1::MShowContentsClick() {
  OpenArchive(Values.BackupFileName);
}

void TForm1::MTestArchiveClick() {
  TestArchive(Values.BackupFileName, nullptr);
}

void TForm1::OpenFromCommandLine(const QStringList& Arguments) {
  if (Arguments.size() > 1 && !Arguments[1].isEmpty()) OpenArchive(Arguments[1]);
}

QList<TArchiveWindow*> TForm1::ArchiveWindows() const {
  QList<TArchiveWindow*> windows;
  for (const QPointer<TArchiveWindow>& window : archiveWindows_)
    if (window) windows << window.data();
  return windows;
}

TArchiveWindow* TForm1::OpenArchive(const QString& Archive) {
  if (Archive.isEmpty() || BackupEngine.Busy() || running_ != TOperation::None) return nullptr;
  const QString path = QFileInfo(Archive).absoluteFilePath();
  for (TArchiveWindow* window : ArchiveWindows()) {
    if (window->Archive() != path) continue;
    window->show();
    window->raise();
    window->activateWindow();
    return window;
  }
  if (ArchiveReadable(path) != aoNone) return nullptr;
  auto* window = new TArchiveWindow(*this, path);
  archiveWindows_ << window;
  window->show();
  if (!window->Load()) {
    window->close();
    return nullptr;
  }
  AddRecentArchive(path);
  return window;
}

bool TForm1::ListArchive(TArchiveWindow& Window) {
  if (BackupEngine.Busy() || running_ != TOperation::None) return false;
  const std::string archive = Window.Archive().toStdString();
  TRun& r = PrepareRun(TOperation::List, archive, &Window);
  TArchiveModel& model = *Window.Model;
  model.Clear();
  cancelled_ = false;
  stopRequested_ = false;
  std::string failure;
  bool complete = false;
  int64_t listed = 0;
  const auto reading = [this] { return " " + Text("Contents->Reading").arg(FormatCount(0)); };
  {
    OperationScope scope(*this, TOperation::List, archive, Window);
    Window.ShowStatus(reading);
    try {
      Window.Title = BackupEngine.GetArchiveTitle(archive, nullptr);
      complete = BackupEngine.ListArchive(archive, [&](TBackupFile&, const TArchiveEntry& Entry) {
        model.Append(Entry);
        ++listed;
        // The listing reads records only; a long one still lets the window
        // show how far it got, and Stop work.
        if (r.Clock.elapsed() - r.ShownAt >= 100) {
          r.ShownAt = r.Clock.elapsed();
          const int64_t count = listed;
          Window.ShowStatus(
              [this, count] { return " " + Text("Contents->Reading").arg(FormatCount(count)); });
          QCoreApplication::processEvents();
        }
      });
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  Window.Volumes = r.Volumes;
  const double seconds = r.Now();
  const uint16_t missing = r.MissingVolume;
  const bool stopped = stopRequested_ && !cancelled_;
  const bool cancelled = cancelled_;
  run_.reset();
  // Refused while another run held the archive: said so, and nothing read.
  if (listed == 0 && RefusedInUse()) return false;
  if (listed == 0 && !failure.empty()) {
    Dialogs.ShowError(ApplicationTitle(),
                      Text("Message->NotAnArchive").arg(Window.Archive(), EngineText(failure)));
    return false;
  }
  if (!complete && failure.empty() && !cancelled && !stopped) {
    Dialogs.ShowError(ApplicationTitle(), Text("Message->ArchiveNotFound").arg(Window.Archive()));
    return false;
  }
  model.Build();
  if (!failure.empty()) {
    const int64_t count = listed;
    Window.SetNotice([this, count, failure] {
      return Text("Contents->Cut").arg(FormatCount(count), EngineText(failure));
    });
  } else if (cancelled) {
    Window.SetNotice([this, missing] { return Text("Contents->MissingVolume").arg(missing); });
  } else if (stopped) {
    Window.SetNotice([this] { return Text("Contents->Stopped"); });
  } else {
    Window.SetNotice({});
  }
  Window.ShowStatus([this, listed, seconds] {
    return " " +
           Text("Contents->Listed").arg(FormatCount(listed), FormatDuration(seconds, TextSource()));
  });
  Window.RunGauge()->SetProgress(Window.RunGauge()->MinValue());
  return true;
}

void TForm1::TestArchive(const QString& Archive, TArchiveWindow* From) {
  if (BackupEngine.Busy() || running_ != TOperation::None) return;
  if (ArchiveReadable(Archive) != aoNone) return;
  BackupEngine.Threads = 0;  // every processor; what it finds is the same
  const std::string archive = Archive.toStdString();
  TRun& r = PrepareRun(TOperation::Test, archive, From);
  QPointer<TArchiveWindow> window(From);
  r.Finished = [this, window](const TRunOutcome& Outcome) {
    if (!window || Outcome.End != TRunEnd::Completed) return;
    std::vector<std::string> damaged;
    for (const TDamage& d : Outcome.Damages)
      if (!d.Filename.empty()) damaged.push_back(d.Filename);
    window->Model->MarkDamaged(damaged);
    if (!damaged.empty()) {
      const int32_t files = Outcome.DamagedFiles();
      window->SetNotice(
          [this, files] { return Text("Contents->DamagedFound").arg(FormatCount(files)); });
    }
  };
  RunOperation([&] { return BackupEngine.Test(archive, true); });
}

void TForm1::RestoreChosen(TArchiveWindow& Window, const std::vector<int32_t>& Entries) {
  if (BackupEngine.Busy() || running_ != TOperation::None) return;
  if (Entries.empty()) {
    Dialogs.ShowError(ApplicationTitle(), Text("Message->NothingChosen"));
    return;
  }
  const TArchiveModel& model = *Window.Model;
  TRestoreRequest request;
  request.Files = static_cast<int32_t>(Entries.size());
  for (const int32_t entry : Entries) {
    request.Bytes += model.SizeOrEstimate(entry);
    request.Estimated = request.Estimated || !model.SizeIsKnown(entry);
  }
  request.Folder = lastChosenFolder_.isEmpty() ? Values.RestoreFolder : lastChosenFolder_;
  request.Placement = lastPlacement_;
  if (Values.ModeIndex >= 0 && Values.ModeIndex < ComboBoxRestoreMode->count())
    request.Mode = ComboBoxRestoreMode->itemText(Values.ModeIndex);
  if (!Dialogs.AskRestore(request)) return;
  lastPlacement_ = request.Placement;

  std::string folder = OriginalPlacesFolder();
  if (request.Placement != TPlacement::OriginalPlaces) {
    if (request.Folder.isEmpty() || RefuseUnstorableName(request.Folder)) {
      if (request.Folder.isEmpty())
        Dialogs.ShowError(ApplicationTitle(), Text("Message->NoFolder"));
      return;
    }
    lastChosenFolder_ = request.Folder;
    // Made with its parents; one that cannot be made is met by the restore,
    // which names it.
    QDir().mkpath(request.Folder);
    folder = request.Folder.toStdString();
  }
  BackupEngine.RestoreFullPath = true;
  BackupEngine.Threads = 0;
  if (Values.ModeIndex >= 0 && Values.ModeIndex < static_cast<int32_t>(std::size(kRestoreModes)))
    BackupEngine.RestoreMode = kRestoreModes[Values.ModeIndex];
  std::vector<std::string> names;
  std::unordered_map<std::string, int64_t> sizes;
  names.reserve(Entries.size());
  for (const int32_t entry : Entries) {
    names.push_back(model.StoredName(entry));
    sizes[names.back()] = model.SizeOrEstimate(entry);
  }
  const std::string archive = Window.Archive().toStdString();
  PrepareRun(TOperation::Restore, archive, &Window);
  FilterRestore(&names, [&sizes](const std::string& Stored) {
    const auto found = sizes.find(Stored);
    return found == sizes.end() ? int64_t{-1} : found->second;
  });
  // Set after the filter: PrepareRun leaves the engine's settings alone,
  // and RunOperation clears this one when the run is over.
  BackupEngine.RestoreBaseFolder =
      request.Placement == TPlacement::Relative ? model.CommonFolder(Entries) : std::string();
  RunOperation([&] { return BackupEngine.Restore(archive, folder); });
}

TArchiveObstacle TForm1::ArchiveReadable(const QString& Archive) {
  const TArchiveCheck check = CheckArchive(Archive.toStdString());
  const char* key = nullptr;
  switch (check.Obstacle) {
    case aoNone:
      return aoNone;
    case aoMissing:
      key = "Message->ArchiveNotFound";
      break;
    case aoFolder:
      key = "Message->ArchiveIsFolder";
      break;
    case aoNotRegular:
      key = "Message->ArchiveNotRegular";
      break;
    case aoNoPermission:
      key = "Message->ArchiveNoPermission";
      break;
    case aoUnreadable:
      key = "Message->ArchiveUnreadable";
      break;
    case aoEmpty:
      key = "Message->ArchiveEmpty";
      break;
    case aoForeign:
      key = "Message->NotKelmoraArchive";
      break;
  }
  // The system's own words come as they are, untranslated, where the kind
  // alone does not say it all.
  QString text = Text(QString::fromLatin1(key)).arg(Archive);
  if (check.Obstacle == aoUnreadable) text = text.arg(QString::fromStdString(check.Failure.Reason));
  Dialogs.ShowError(ApplicationTitle(), text);
  return check.Obstacle;
}

void TForm1::AddRecentArchive(const QString& Archive) {
  const QString path = QFileInfo(Archive).absoluteFilePath();
  Values.RecentArchives.removeAll(path);
  Values.RecentArchives.prepend(path);
  while (Values.RecentArchives.size() > kRecentArchives) Values.RecentArchives.removeLast();
  RebuildRecentMenu();
}

void TForm1::RebuildRecentMenu() {
  recentMenu_->clear();
  for (int i = 0; i < Values.RecentArchives.size(); ++i) {
    const QString path = Values.RecentArchives[i];
    QString shown = path;
    shown.replace('&', QStringLiteral("&&"));
    QAction* action = recentMenu_->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
    connect(action, &QAction::triggered, this,
            [this, path] { Guard([this, path] { OpenArchive(path); }); });
  }
  MRecent->setEnabled(!Values.RecentArchives.isEmpty() && running_ == TOperation::None);
}

void TForm1::dragEnterEvent(QDragEnterEvent* Event) {
  if (!DroppedArchives(Event->mimeData()).isEmpty()) Event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* Event) {
  const QStringList archives = DroppedArchives(Event->mimeData());
  if (archives.isEmpty()) return;
  Event->acceptProposedAction();
  // Opened once the drop is over: the listing must not run inside the
  // system's drag and drop.
  QTimer::singleShot(0, this, [this, archives] {
    Guard([this, archives] {
      for (const QString& archive : archives) OpenArchive(archive);
    });
  });
}

}  // namespace kelmora::app

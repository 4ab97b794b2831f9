// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli backup: options in, one engine call, an exit status out.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmora/backup_file.h"
#include "kelmora/console.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "progress.h"

namespace kelmora::cli {

namespace {

struct BackupOptions {
  std::string Level = "default";
  int64_t VolumeSize = 0;
  std::string Title;
  bool FileIds = false;
  bool Incremental = false;
  bool ClearArchiveFlag = false;
  bool Verify = false;
  bool Force = false;
  bool NoCompanion = false;
  unsigned Recovery = 0;
  bool Dereference = false;
  bool Hidden = false;
  bool SkipUnreadable = false;
  ProgressChoice Progress;
  unsigned Threads = 0;  // one per processor
  std::string Archive;
  std::vector<std::string> Sources;
};

TCompressionLevel LevelByName(const std::string& Name) {
  if (Name == "fastest") return clFastest;
  if (Name == "none") return clNone;
  if (Name == "max") return clMax;
  return clDefault;
}

// A level's name in any case, or the digit people type for it (gzip's 1, 6
// and 9, and 0 for storing); turned into the name. "" when valid, else
// the reason.
std::string ParseLevel(std::string& Text) {
  static const char* const kLevels[][2] = {
      {"fastest", "1"}, {"default", "6"}, {"max", "9"}, {"none", "0"}};
  std::string lower = Text;
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  for (const auto& level : kLevels) {
    if (lower == level[0] || lower == level[1]) {
      Text = level[0];
      return {};
    }
  }
  return "LEVEL must be fastest (or 1), default (or 6), max (or 9) or none (or 0)";
}

// Creates the archive's folder with every missing parent, as a restore
// creates its folder, so a first nightly run on a fresh account works.
// Created is the topmost folder made, "" when none was; false after a
// message when the folder cannot be made.
bool MakeArchiveFolder(const std::string& Archive, std::filesystem::path& Created) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(Archive).parent_path();
  const auto missing = [](const fs::path& Path) {
    std::error_code error;
    return fs::status(Path, error).type() == fs::file_type::not_found;
  };
  // Something there that is no folder is the engine's to report.
  if (folder.empty() || !missing(folder)) return true;
  for (fs::path part = folder; !part.empty() && missing(part); part = part.parent_path()) {
    Created = part;
    if (part == part.parent_path()) break;
  }
  std::error_code error;
  fs::create_directories(folder, error);
  if (!error) return true;
  std::fprintf(stderr, "%s: Cannot write to archive: %s: cannot create its folder %s: %s\n",
               kProgramName, Archive.c_str(), folder.string().c_str(), error.message().c_str());
  Created.clear();
  return false;
}

// A failed run takes back the folders it made for its archive, as long as
// nothing else was put there.
void RemoveArchiveFolder(const std::string& Archive, const std::filesystem::path& Created) {
  if (Created.empty()) return;
  std::error_code error;
  for (std::filesystem::path folder = std::filesystem::path(Archive).parent_path();
       !folder.empty() && std::filesystem::remove(folder, error); folder = folder.parent_path()) {
    if (folder == Created) break;
  }
}

// "65536", "64k", "700m", "1g" (powers of 1024) to bytes; "" when valid,
// else the reason.
std::string ParseVolumeSize(std::string& Text) {
  const std::string range =
      "SIZE must be 0 (one volume) or from " + GroupDigits(kSmallestVolumeSize) + " to " +
      GroupDigits(kLargestVolumeSize) + " bytes (suffixes k, m, g count 1024, 1024^2, 1024^3)";
  if (Text.empty()) return range;
  int64_t unit = 1;
  std::string digits = Text;
  switch (digits.back()) {
    case 'k':
    case 'K':
      unit = int64_t{1} << 10;
      break;
    case 'm':
    case 'M':
      unit = int64_t{1} << 20;
      break;
    case 'g':
    case 'G':
      unit = int64_t{1} << 30;
      break;
    default:
      break;
  }
  if (unit != 1) digits.pop_back();
  if (digits.empty() || digits.size() > 12) return range;
  int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return range;
    value = value * 10 + (c - '0');
  }
  if (value > kLargestVolumeSize / unit) return range;
  value *= unit;
  if (value != 0 && value < kSmallestVolumeSize) return range;
  Text = std::to_string(value);
  return {};
}

// A SOURCE with a wildcard or the sub-directory switch, by the rule the
// selection itself reads it with, is a pattern.
bool IsPattern(const std::string& Source) {
  return Source.find_first_of("*?") != std::string::npos || HasSubdirectorySwitch(Source);
}

// Turns every SOURCE into a specification the engine takes: a folder
// becomes all its files with its sub-directories, whatever its name holds
// (/srv/docs, /snap). A SOURCE that names nothing is an error before any
// archive exists; a pattern that selects no file is only a warning, since
// patterns are often shared between machines.
bool ResolveSources(const BackupOptions& Options, std::vector<std::string>& Selections) {
  bool ok = true;
  std::vector<std::string> patterns;
  for (const std::string& source : Options.Sources) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(source, error);
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory) {
      // There, perhaps, but out of reach: nothing can be said of it.
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, source.c_str(),
                   error.message().c_str());
      ok = false;
    } else if (std::filesystem::is_directory(status)) {
      Selections.push_back(FolderSpecification(source, true));
    } else if (std::filesystem::exists(status)) {
      Selections.push_back(source);
    } else if (IsPattern(source)) {
      Selections.push_back(source);
      patterns.push_back(source);
    } else {
      std::fprintf(stderr, "%s: no such file or folder: %s\n", kProgramName, source.c_str());
      ok = false;
    }
  }
  // With one SOURCE the run's own count tells; with more, each pattern is
  // looked at on its own, since the others would hide it.
  if (ok && Options.Sources.size() > 1) {
    for (const std::string& pattern : patterns) {
      if (SelectFiles({pattern}, Options.Archive, bmAll).empty())
        std::fprintf(stderr, "%s: warning: %s matches no file\n", kProgramName, pattern.c_str());
    }
  }
  return ok;
}

// A folder's name ends in "/": the selection names folders so.
bool IsFolderName(const std::string& Path) {
  return !Path.empty() && (Path.back() == '/' || Path.back() == '\\');
}

// "3 files and 1 folder", "1 file"
std::string CountFilesAndFolders(const std::vector<TFailure>& Items) {
  int64_t folders = 0;
  for (const TFailure& item : Items) folders += IsFolderName(item.Subject) ? 1 : 0;
  const int64_t files = static_cast<int64_t>(Items.size()) - folders;
  const auto count = [](int64_t N, const char* One, const char* More) {
    return GroupDigits(N) + " " + (N == 1 ? One : More);
  };
  if (folders == 0) return count(files, "file", "files");
  if (files == 0) return count(folders, "folder", "folders");
  return count(files, "file", "files") + " and " + count(folders, "folder", "folders");
}

// Every file and folder the run could not read, each with the system's
// reason, then what became of the archive: complete without them when
// they were skipped and the run went through (Complete), none at all when
// they were not.
void ReportUnreadable(const TBackupFile& Engine, bool Skipped, bool Complete) {
  const std::vector<TFailure>& items = Engine.Unreadable();
  if (items.empty()) return;
  for (const TFailure& item : items)
    std::fprintf(stderr, "%s: %s %s: %s\n", kProgramName, Skipped ? "left out:" : "cannot read",
                 item.Subject.c_str(), item.Reason.c_str());
  if (Skipped && Complete)
    std::fprintf(stderr, "%s: archive complete except %s\n", kProgramName,
                 CountFilesAndFolders(items).c_str());
  else if (!Skipped)
    std::fprintf(stderr,
                 "%s: no archive was written; --skip-unreadable writes it without what "
                 "cannot be read\n",
                 kProgramName);
}

int RunBackup(const BackupOptions& Options) {
  std::vector<std::string> selections;
  if (!ResolveSources(Options, selections)) return kExitFailed;
  const bool toStandardOutput = Options.Archive == "-";
  std::filesystem::path createdFolder;
  if (!toStandardOutput && !MakeArchiveFolder(Options.Archive, createdFolder)) return kExitFailed;

  TBackupFile engine;
  engine.CompressionLevel = LevelByName(Options.Level);
  engine.MaxSize = static_cast<int32_t>(Options.VolumeSize);
  engine.BackupTitle = Options.Title;
  engine.SaveFileID = Options.FileIds;
  engine.Threads = Options.Threads;
  engine.IncludeHidden = Options.Hidden;
  engine.SkipUnreadable = Options.SkipUnreadable;
  if (Options.Incremental) engine.SetBackupMode(bmIncremental);
  if (Options.ClearArchiveFlag) engine.SetArchiveFlag = true;
  // Read back as a restore would read it before it replaces the older
  // archive: a backup that cannot be restored is no backup, and must not
  // cost the one that can.
  engine.VerifyBeforeCommit = Options.Verify;
  // What the archive's layout cannot hold goes into its companion.
  engine.WriteCompanion = !Options.NoCompanion && !toStandardOutput;
  engine.RecoveryPercent = static_cast<uint8_t>(Options.Recovery);
  engine.Dereference = Options.Dereference;

  ProgressLine progress(Options.Progress);
  AttachTerminalHooks(engine, &progress);
  // What could not be read is listed whole below, each with its reason.
  const TBackupErrorEvent report = engine.OnError;
  engine.OnError = [report, &progress](TBackupFile& Sender, int32_t Code, const std::string& Text) {
    if (Code == beFilesLeftOut) return;
    if (Code == beCannotReadFile) {
      const std::string subject = Sender.Failure().Subject;
      for (const TFailure& item : Sender.Unreadable())
        if (item.Subject == subject) return;
    }
    report(Sender, Code, Text);
    if (Code == beNothingSelected && Sender.HiddenFolders() > 0) {
      progress.Clear();
      std::fprintf(stderr, "%s: --hidden takes hidden folders in\n", kProgramName);
    }
  };
  // Further volumes go beside the first without a question.
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool& Continue) { Continue = true; };
  StopOnInterrupt(engine);
  engine.OnDamage = [&progress](TBackupFile&, const TDamage& Damage) {
    progress.Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeDamage(Damage).c_str());
  };

  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  try {
    if (toStandardOutput) {
      // A reader that went away must end the run with a message, not kill it.
      platform::IgnoreBrokenPipe();
      THandleStream out(TStandardHandle::Output);
      ok = engine.BackupToStream(selections, &out);
      if (!ok && engine.ErrorCode() == 0 && !Interrupted() && engine.Unreadable().empty()) {
        progress.Clear();
        std::fprintf(stderr,
                     "%s: the backup ended early: a source file could not be opened or "
                     "standard output could not be written\n",
                     kProgramName);
      }
    } else {
      ok = engine.Backup(selections, Options.Archive);
    }
  } catch (const std::exception& e) {
    progress.Clear();
    // A file that could not be opened while it was measured is among them.
    if (engine.Unreadable().empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeException(e).c_str());
    ReportUnreadable(engine, false, false);
    RemoveArchiveFolder(Options.Archive, createdFolder);
    return kExitFailed;
  }
  progress.Clear();
  if (!ok) RemoveArchiveFolder(Options.Archive, createdFolder);
  ReportUnreadable(engine, Options.SkipUnreadable, ok);
  if (ok && engine.ErrorCode() == beFilesLeftOut && !engine.ChangedFiles().empty()) {
    // The changed files are told too, though code 9 took the place of 8.
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeError(engine, beFileChanged).c_str());
  }
  if (Interrupted() && !ok)
    std::fprintf(stderr,
                 toStandardOutput ? "%s: stopped; the archive is incomplete\n"
                                  : "%s: stopped; no archive was written, an older one is left "
                                    "as it was\n",
                 kProgramName);
  // An empty archive is valid, but a mistyped SOURCE should not pass unseen.
  if (ok && engine.FileCount() == 0)
    std::fprintf(stderr, "%s: warning: SOURCE selected no files; the archive holds none\n",
                 kProgramName);

  if (!Options.Progress.Quiet) {
    Summary figures;
    figures.Files = engine.FilesDone();
    figures.TotalSize = engine.TotalSize();
    figures.ArchiveBytes = engine.ArchiveBytes();
    figures.CompressionRate = engine.CompressionRate();
    figures.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.Complete = ok;
    figures.HiddenFolders = engine.HiddenFolders();
    figures.Unreadable = ok ? static_cast<int32_t>(engine.Unreadable().size()) : 0;
    // Standard output may be the archive itself.
    PrintSummary(toStandardOutput ? stderr : stdout, figures);
  }
  if (!ok) {
    if (!engine.Damages().empty())
      std::fprintf(stderr,
                   "%s: verification found damage in the archive just written; it was removed "
                   "and an older archive is left as it was\n",
                   kProgramName);
    return kExitFailed;
  }
  if (engine.ErrorCode() == beFilesLeftOut) return kExitFailed;
  return engine.ErrorCode() == beFileChanged ? kExitChanged : kExitOk;
}

}  // namespace

void AddBackupCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "backup",
      "Back the files that SOURCE selects up into the archive ARCHIVE. Every file is cut into "
      "pieces of 16,384 bytes, each compressed on its own into a zlib stream. Beside the "
      "archive goes its companion ARCHIVE.kx: every file's size and place, what each file, "
      "folder and symbolic link is (mode, owner, time to the nanosecond, link text), a "
      "checksum of every block and, with --recovery, a recovery record.");
  auto options = std::make_shared<BackupOptions>();

  command
      ->add_option("-l,--level", options->Level,
                   "compression level of every piece: fastest (level 1; also 1), default "
                   "(level 6; also 6), max (libdeflate 10, or zlib 9 in a build without "
                   "libdeflate; also 9) or none (stored as it is; also 0); names in any case")
      ->type_name("LEVEL")
      ->transform(CLI::Validator(ParseLevel, ""))
      ->capture_default_str();
  command
      ->add_option("-v,--volume-size", options->VolumeSize,
                   "split the archive into volumes of at most SIZE bytes (ARCHIVE, then ARCHIVE "
                   "with the extensions .002, .003, ...); SIZE may end in k, m or g (powers of "
                   "1024); 0, the default, writes one volume of any size")
      ->type_name("SIZE")
      ->transform(CLI::Validator(ParseVolumeSize, ""));
  command->add_option("-t,--title", options->Title, "title stored in the archive header")
      ->type_name("TEXT");
  command->add_flag("--file-ids", options->FileIds,
                    "store the file-ID list (path, time stamp and size of every file) as the "
                    "archive's first entry");
  command->add_flag("--incremental", options->Incremental,
                    "back up only files whose archive attribute is set (changed since a backup "
                    "last cleared it); turns on --clear-archive-flag");
  command->add_flag("--clear-archive-flag", options->ClearArchiveFlag,
                    "clear the archive attribute of every file stored completely, so the next "
                    "--incremental backup leaves it out until it changes");
  command->add_flag("--verify", options->Verify,
                    "before the new archive replaces an older one, read it back as a restore "
                    "would (nothing is written); when any of it is damaged, remove it, keep the "
                    "older archive and fail");
  CLI::Option* noCompanion = command->add_flag(
      "--no-companion", options->NoCompanion,
      "write no companion (ARCHIVE.kx) beside the archive: without it modes, owners, symbolic "
      "links, empty folders and exact times are not kept, list -l shows no size for a "
      "compressed file, test cannot see a changed byte in a stored piece, a name, a time stamp "
      "or the title, and there is nothing to repair from. Symbolic links are then backed up "
      "as the files they lead to");
  command
      ->add_option("--recovery", options->Recovery,
                   "add a recovery record of PCT percent of the archive's size to the companion "
                   "(e.g. 5), from which repair rebuilds damaged blocks and missing volumes; 0, "
                   "the default, adds none")
      ->type_name("PCT")
      ->check(CLI::Range(0u, 100u))
      ->excludes(noCompanion);
  command->add_flag("--dereference", options->Dereference,
                    "back up the file a symbolic link leads to instead of the link itself (a "
                    "link to a folder is never entered); links named as a SOURCE are always "
                    "followed");
  command->add_flag("--hidden", options->Hidden,
                    "also enter hidden folders (names beginning with \".\": .git, .config, "
                    "...), which are left out by default and counted in the summary; hidden "
                    "files in the folders entered are always taken");
  command->add_flag("--skip-unreadable", options->SkipUnreadable,
                    "complete the archive without the files and folders that cannot be read "
                    "(no permission, a failing disk), naming each with its reason; the exit "
                    "status is then 1 (\"archive complete except N files\"). Without it one "
                    "unreadable file or folder fails the backup and no archive is written");
  command->add_flag("--force", options->Force,
                    "write the archive to standard output (ARCHIVE -) even when that is a "
                    "terminal, which is otherwise refused");
  AddProgressOptions(*command, options->Progress,
                     "no progress line and no summary; errors are still reported");
  AddThreadsOption(*command, options->Threads,
                   "threads that compress pieces, this one included (1 does all the work on "
                   "one thread), and with --verify as many that check the archive before it "
                   "replaces the older one; the archive is the same whatever the count");
  RefuseDigitOptions(*command);
  command
      ->add_option("ARCHIVE", options->Archive,
                   "the archive file to create, with its folder when that is missing (an "
                   "existing archive is replaced once the new one is complete; a symbolic link "
                   "stays and the file it leads to is replaced, with the volumes beside that "
                   "file), or - for standard output (one volume)")
      ->required();
  command
      ->add_option("SOURCE", options->Sources,
                   "a folder (with all its sub-directories), a file, or a pattern such as "
                   "\"/home/ann/data/*.txt\"; \" /s\" at a pattern's end takes "
                   "sub-directories too, e.g. \"/home/ann/data/*.txt /s\". Names keep their "
                   "case; only the last component of a pattern (after its last /) ignores ASCII "
                   "case, so *.txt takes README.TXT. A SOURCE that names nothing stops the "
                   "backup before any archive is written, and so does a folder that holds "
                   "files none of which is taken (all in hidden folders); a pattern that "
                   "matches no file, or an empty folder, is only warned about.")
      ->required();
  command->footer(
      ExitStatusText("the archive holds every file SOURCE selected",
                     "it failed, or did only part of it (--skip-unreadable left files out)", true) +
      " A failed backup leaves an existing archive of that name as it was.");

  command->callback([options, &Status] {
    if (options->Archive == "-" && options->VolumeSize != 0)
      throw CLI::ValidationError("--volume-size",
                                 "an archive on standard output cannot be split into volumes");
    if (options->Archive == "-" && options->Verify)
      throw CLI::ValidationError("--verify", "an archive on standard output cannot be read back");
    if (options->Archive == "-" && options->Recovery != 0)
      throw CLI::ValidationError("--recovery",
                                 "an archive on standard output has no companion to hold it");
    // As gzip and tar: compressed bytes on a screen help no one.
    if (options->Archive == "-" && !options->Force && platform::StandardOutputIsTerminal())
      throw CLI::ValidationError("ARCHIVE",
                                 "- writes the archive to standard output, which is a terminal; "
                                 "redirect it to a file or a pipe, or give --force");
    Status = RunBackup(*options);
  });
}

}  // namespace kelmora::cli

// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli restore: options in, one engine call, an exit status out.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmora/backup_file.h"
#include "kelmora/console.h"
#include "kelmora/helpers.h"
#include "kelmora/name_pattern.h"
#include "kelmora/streams.h"
#include "progress.h"

namespace kelmora::cli {

namespace {

const std::map<std::string, TRestoreMode> kModes = {
    {"all", rmAll},           {"no-overwrite", rmNoOverwrite},     {"newer", rmNewer},
    {"existing", rmExisting}, {"existing-newer", rmExistingNewer},
};

struct RestoreOptions {
  std::string Mode = "all";
  bool FullPath = false;  // the default layout; the flag stays for old scripts
  bool Relative = false;
  bool Flat = false;
  bool KeepDamaged = false;
  bool SameOwner = false;
  bool NoSameOwner = false;
  bool SamePermissions = false;
  bool NoSamePermissions = false;
  ProgressChoice Progress;
  unsigned Threads = 0;  // one per processor
  std::vector<std::string> Include;
  std::string Archive;
  std::string Folder;
};

// Whether an -i pattern holds a ".." component. "\" counts as a separator
// too, as it does in a drive's pattern: no reading of such a pattern is one
// a user could count on, and taking "/home/ann/old/.." as "/" would put
// every file back.
bool HasParentComponent(const std::string& Pattern) {
  size_t start = 0;
  while (start <= Pattern.size()) {
    size_t end = Pattern.find_first_of("/\\", start);
    if (end == std::string::npos) end = Pattern.size();
    if (end - start == 2 && Pattern.compare(start, 2, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

std::vector<std::string> Components(const std::string& Path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < Path.size()) {
    size_t end = Path.find('/', start);
    if (end == std::string::npos) end = Path.size();
    parts.push_back(Path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The stored folder that every restored entry lies in ("home/ann/docs"),
// found by listing the archive first; "" when they share none.
std::optional<std::string> CommonFolder(TBackupFile& Engine, const std::string& Archive) {
  std::optional<std::vector<std::string>> common;
  const bool read =
      Engine.ListArchive(Archive, [&common](TBackupFile& Sender, const TArchiveEntry& Entry) {
        if (Sender.RestoreFilter && !Sender.RestoreFilter(Entry.Name)) return;
        const std::vector<std::string> folder = Components(FolderPart(StoredPath(Entry.Name)));
        if (!common) {
          common = folder;
          return;
        }
        size_t same = 0;
        while (same < common->size() && same < folder.size() && (*common)[same] == folder[same])
          ++same;
        common->resize(same);
      });
  std::string joined;
  for (const std::string& part : common.value_or(std::vector<std::string>())) {
    if (!joined.empty()) joined += '/';
    joined += part;
  }
  // Damage met on the way (a file-ID list beyond its bounds) was told as it
  // was met; the folder found stands all the same.
  if (!read) return std::nullopt;
  return joined;
}

// What the engine gets as FOLDER. On Windows "\" alone is the current
// drive's root, while a name written there carries its own drive: to put
// files back where they were, the engine is given no folder, and each name
// goes back to its drive (a name written on Linux to the current one).
std::string EngineFolder(const RestoreOptions& Options) {
#ifdef _WIN32
  if ((Options.Folder == "/" || Options.Folder == "\\") && !Options.Flat && !Options.Relative)
    return {};
#endif
  return Options.Folder;
}

// What a restore did with the files it was given, counted as it went.
struct RestoreCount {
  int64_t Selected = 0;  // entries the restore took up (those -i matched)
  int64_t LeftOut = 0;   // refused or clashing, each named on standard error
  std::string LastLeftOut;
};

void PrintRestoreSummary(std::FILE* Out, const TBackupFile& Engine, const RestoreCount& Count,
                         const RestoreOptions& Options, double Seconds) {
  const bool filtered = !Options.Include.empty();
  // A run that ended early took up only some entries; the header counts all.
  const int64_t selected =
      filtered ? Count.Selected : std::max<int64_t>(Count.Selected, Engine.FileCount());
  std::string files = GroupDigits(Engine.FilesDone()) + " restored of " + GroupDigits(selected) +
                      (filtered ? " selected" : "");
  if (filtered) files += " (" + GroupDigits(Engine.FileCount()) + " in the archive)";
  std::fprintf(Out, "Files:        %s\n", files.c_str());
  // What the mode left alone is what is neither restored, left out nor damaged.
  int64_t damagedFiles = 0;
  for (const TDamage& damage : Engine.Damages()) damagedFiles += damage.Filename.empty() ? 0 : 1;
  const int64_t kept = selected - Engine.FilesDone() - Count.LeftOut - damagedFiles;
  if (Options.Mode != "all" && kept > 0 && Engine.ErrorCode() != beCannotReadFile)
    std::fprintf(Out, "Kept:         %s files as they were (--mode %s)\n",
                 GroupDigits(kept).c_str(), Options.Mode.c_str());
  if (Count.LeftOut > 0)
    std::fprintf(Out, "Left out:     %s (named on standard error)\n",
                 GroupDigits(Count.LeftOut).c_str());
  if (!Engine.Damages().empty())
    std::fprintf(Out, "Damaged:      %s (named on standard error)\n",
                 GroupDigits(static_cast<int64_t>(Engine.Damages().size())).c_str());
  if (Engine.Incomplete())
    std::fprintf(Out, "Incomplete:   the archive ends early; what followed is not in it\n");
  // The bytes of the files taken up, not the archive's whole total; all of
  // them restored only when the run went through.
  std::fprintf(Out, "Size:         %s bytes %s (%s)\n", GroupDigits(Engine.BytesDone()).c_str(),
               Engine.ErrorCode() == beNone ? "restored" : "read",
               HumanSize(Engine.BytesDone()).c_str());
  std::fprintf(Out, "Time:         %.2f s\n", Seconds);
  std::fflush(Out);
}

int RunRestore(const RestoreOptions& Options) {
  const bool fromStandardInput = Options.Archive == "-";
  if (!ArchiveCanBeRead(Options.Archive)) return kExitFailed;
  if (std::string why; !MakeFolder(Options.Folder, &why)) {
    std::fprintf(stderr, "%s: cannot create the restore folder %s: %s\n", kProgramName,
                 Options.Folder.c_str(), why.c_str());
    return kExitFailed;
  }

  TBackupFile engine;
  engine.Threads = Options.Threads;
  engine.RestoreMode = kModes.at(Options.Mode);
  engine.RestoreFullPath = !Options.Flat;
  ProgressLine progress(Options.Progress);
  AttachTerminalHooks(engine, &progress);
  // Asked for on the terminal, naming the file.
  AttachVolumeQuestion(engine, Options.Archive, &progress,
                       {/*Ask=*/true, /*AsFinding=*/false, nullptr, "restore"});
  engine.KeepDamaged = Options.KeepDamaged;
  AttachDamageReport(engine, progress);
  const std::string lost = "modes, links and exact times are not restored";
  AttachCompanionNote(engine, &progress, lost);
  if (fromStandardInput) NoteStreamHasNoCompanion(lost);
  engine.SameOwner = Options.SameOwner ? chOn : Options.NoSameOwner ? chOff : chDefault;
  engine.SamePermissions = Options.SamePermissions     ? chOn
                           : Options.NoSamePermissions ? chOff
                                                       : chDefault;

  std::vector<bool> matched(Options.Include.size(), false);
  // Read once, tried on every entry: the window's filter follows the same rule.
  const std::vector<TNamePattern> patterns(Options.Include.begin(), Options.Include.end());
  RestoreCount count;
  const auto matches = [&patterns, &matched](const std::string& Stored) {
    bool any = patterns.empty();
    const std::string path = StoredPath(Stored);
    for (size_t i = 0; i < patterns.size(); ++i) {
      if (patterns[i].MatchesPath(path)) any = matched[i] = true;
    }
    return any;
  };
  // Every file entry the restore takes up passes here, so it counts them;
  // the folders and links the companion gives back are no files restored.
  engine.RestoreFilter = [&matches, &count](const std::string& Stored) {
    const bool any = matches(Stored);
    if (any) ++count.Selected;
    return any;
  };
  engine.RestoreRecordFilter = matches;
  // Each file left out is named as it is met, with the reason; the closing
  // code 1 names only the last of them.
  engine.OnNameClash = [&count, &progress](TBackupFile&, const std::string& Stored,
                                           const std::string& Earlier, const std::string& Target) {
    ++count.LeftOut;
    count.LastLeftOut = Target;
    progress.Clear();
    std::fprintf(stderr, "%s: not restored: %s: %s was already restored to %s\n", kProgramName,
                 Stored.c_str(), Earlier.c_str(), Target.c_str());
  };
  engine.OnFileRefused = [&count, &progress](TBackupFile&, const TFailure& Refusal) {
    ++count.LeftOut;
    count.LastLeftOut = Refusal.Subject;
    progress.Clear();
    std::fprintf(stderr, "%s: not restored: %s: %s\n", kProgramName, Refusal.Subject.c_str(),
                 Refusal.Reason.c_str());
  };
  // A code 1 that ends the run is a write that failed: the target named
  // with the system's reason. One that only repeats the last file left out
  // is not said twice.
  const TBackupErrorEvent report = engine.OnError;
  engine.OnError = [&count, &progress, report](TBackupFile& Sender, int32_t Code,
                                               const std::string& Text) {
    if (Code != beCannotReadFile) {
      report(Sender, Code, Text);
      return;
    }
    progress.Clear();
    const TFailure failure = Sender.Failure();
    if (count.LeftOut > 0 && failure.Subject == count.LastLeftOut) return;
    std::fprintf(stderr, "%s: not restored: %s: %s; the restore stopped there\n", kProgramName,
                 failure.Subject.c_str(),
                 failure.Reason.empty() ? "writing it failed" : failure.Reason.c_str());
  };

  StopOnInterrupt(engine);
  bool listingDamaged = false;
  if (Options.Relative) {
    try {
      const std::optional<std::string> base = CommonFolder(engine, Options.Archive);
      if (!base) {
        // A missing volume was reported as it was met.
        if (Interrupted()) std::fprintf(stderr, "%s: restore interrupted\n", kProgramName);
        return kExitFailed;
      }
      engine.RestoreBaseFolder = *base;
      listingDamaged = !engine.Damages().empty();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgramName, Options.Archive.c_str(),
                   DescribeException(e).c_str());
      return kExitFailed;
    }
    std::fill(matched.begin(), matched.end(), false);
    count = RestoreCount{};
  }

  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  try {
    if (fromStandardInput) {
      THandleStream in(TStandardHandle::Input);
      ok = engine.RestoreFromStream(&in, EngineFolder(Options));
      if (!ok && engine.ErrorCode() == 0 && !Interrupted()) {
        progress.Clear();
        std::fprintf(stderr,
                     "%s: the restore ended early: the archive on standard input is damaged "
                     "or incomplete\n",
                     kProgramName);
      }
    } else {
      ok = engine.Restore(Options.Archive, EngineFolder(Options));
    }
  } catch (const std::exception& e) {
    progress.Clear();
    std::fprintf(stderr, "%s: %s: %s\n", kProgramName, Options.Archive.c_str(),
                 DescribeException(e).c_str());
    return kExitFailed;
  }
  progress.Clear();
  if (Interrupted() && !ok) std::fprintf(stderr, "%s: restore interrupted\n", kProgramName);

  bool allMatched = true;
  for (size_t i = 0; i < matched.size(); ++i) {
    if (matched[i]) continue;
    allMatched = false;
    std::fprintf(stderr, "%s: nothing in the archive matches %s\n", kProgramName,
                 Options.Include[i].c_str());
  }

  if (!Options.Progress.Quiet) {
    PrintRestoreSummary(
        stdout, engine, count, Options,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return ok && allMatched && !listingDamaged ? kExitOk : kExitFailed;
}

}  // namespace

void AddRestoreCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "restore",
      "Restore the files of the archive ARCHIVE under FOLDER, keeping the stored folder tree "
      "(give / as FOLDER to put files back where they were). With the archive's companion "
      "(ARCHIVE.kx) every file, folder and symbolic link gets back its mode, owner (as root) "
      "and time to the nanosecond, and empty folders come back; without it every file gets "
      "its stored last-write time, to two seconds.");
  auto options = std::make_shared<RestoreOptions>();

  command
      ->add_option("-m,--mode", options->Mode,
                   "which files are written: all; no-overwrite (only files that do not exist); "
                   "newer (missing files and those older than the stored one); existing (only "
                   "files that exist); existing-newer (only existing files older than the "
                   "stored one)")
      ->check(CLI::IsMember({"all", "no-overwrite", "newer", "existing", "existing-newer"}))
      ->type_name("MODE")
      ->capture_default_str();
  CLI::Option* relative = command->add_flag(
      "-r,--relative", options->Relative,
      "leave out the folder that all restored files share: a backup of /home/ann/docs restores "
      "as FOLDER/a.txt and FOLDER/sub/b.txt (needs ARCHIVE as a file, which is read twice)");
  CLI::Option* flat = command->add_flag("-f,--flat", options->Flat,
                                        "put every file straight into FOLDER, without folders");
  CLI::Option* fullPath =
      command->add_flag("-p,--full-path", options->FullPath,
                        "rebuild the stored folder tree under FOLDER (the default)");
  command->add_flag("--keep-damaged", options->KeepDamaged,
                    "keep a damaged file as NAME.damaged beside its place (NAME.damaged.1, "
                    "... when that name is taken), every sound piece in place and zeros for "
                    "the damaged ones; without it a damaged file is not written at all (a "
                    "file of that name is left as it was)");
  relative->excludes(flat);
  flat->excludes(fullPath);
  CLI::Option* sameOwner = command->add_flag(
      "--same-owner", options->SameOwner,
      "give every file, folder and link the owner and group its companion recorded (by name "
      "where the name is known here, else by number), even when not run as root, where the "
      "system allows it; root does so by default");
  CLI::Option* noSameOwner =
      command->add_flag("--no-same-owner", options->NoSameOwner,
                        "leave restored files to the user running the restore, root included");
  CLI::Option* samePermissions = command->add_flag(
      "--same-permissions", options->SamePermissions,
      "give modes exactly as recorded, as root does by default; otherwise the umask is taken "
      "off them, as for any file the user makes");
  CLI::Option* noSamePermissions =
      command->add_flag("--no-same-permissions", options->NoSamePermissions,
                        "take the umask off the recorded modes, root's restores too");
  sameOwner->excludes(noSameOwner);
  samePermissions->excludes(noSamePermissions);
  command
      ->add_option("-i,--include", options->Include,
                   "restore only the files whose stored name matches PATTERN: a wildcard on the "
                   "path (* also crosses /), or a folder, which takes everything under it; "
                   "without a leading / it may match from any folder on; a \"..\" component is a "
                   "usage error. Names keep their case; only where the pattern's last component "
                   "(after its last /) meets the file's own name is ASCII case ignored, so *.txt "
                   "takes README.TXT, as in backup's SOURCE. May be repeated.")
      ->type_name("PATTERN");
  AddProgressOptions(*command, options->Progress,
                     "no progress line and no summary; errors are still reported");
  AddThreadsOption(*command, options->Threads,
                   "threads that inflate and check pieces, this one included (1 does all the "
                   "work on one thread); the restored files and the messages are the same "
                   "whatever the count");
  RefuseDigitOptions(*command);
  command
      ->add_option("ARCHIVE", options->Archive,
                   "the archive (its first volume; further volumes are looked for beside it), "
                   "or - for standard input (one volume)")
      ->required();
  command
      ->add_option("FOLDER", options->Folder,
                   "the folder to restore into, created when missing; nothing is ever written "
                   "outside it. / puts every file back at the path it was backed up from.")
      ->required();
  command->footer(ExitStatusText("every selected file was restored", kFailedOrPart, false));

  command->callback([options, &Status] {
    if (options->Folder.empty())
      throw CLI::ValidationError("FOLDER",
                                 "must not be empty; give / to restore files where "
                                 "they were backed up from");
    for (const std::string& pattern : options->Include) {
      if (HasParentComponent(pattern))
        throw CLI::ValidationError("--include", "\"" + pattern +
                                                    "\" holds a \"..\" component; name the "
                                                    "file or folder by its stored path");
    }
    if (options->Relative && options->Archive == "-")
      throw CLI::ValidationError("--relative", "needs ARCHIVE as a file, not standard input");
    Status = RunRestore(*options);
  });
}

}  // namespace kelmora::cli

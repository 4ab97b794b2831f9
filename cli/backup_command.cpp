// kelmora-cli backup: options in, one engine call, an exit status out.

#include <chrono>
#include <csignal>
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
  bool Quiet = false;
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

// A SOURCE with a wildcard or the sub-directory switch is a pattern, kept
// as written; anything else names a file or a folder.
bool IsPattern(const std::string& Source) {
  if (Source.find_first_of("*?") != std::string::npos) return true;
  for (size_t at = Source.find("/s"); at != std::string::npos; at = Source.find("/s", at + 1)) {
    if (at == 0 || static_cast<unsigned char>(Source[at - 1]) <= 32) return true;
  }
  return false;
}

// Turns every SOURCE into a specification the engine takes: a folder
// becomes all its files with its sub-directories. A SOURCE that names
// nothing is an error before any archive exists; a pattern that selects no
// file is only a warning, since patterns are often shared between machines.
bool ResolveSources(const BackupOptions& Options, std::vector<std::string>& Selections) {
  bool ok = true;
  std::vector<std::string> patterns;
  for (const std::string& source : Options.Sources) {
    if (IsPattern(source)) {
      Selections.push_back(source);
      patterns.push_back(source);
      continue;
    }
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(source, error);
    if (std::filesystem::is_directory(status)) {
      std::string folder = source;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      Selections.push_back((folder == "/" ? folder : folder + "/") + "*.* /s");
    } else if (!std::filesystem::exists(status)) {
      std::fprintf(stderr, "%s: no such file or folder: %s\n", kProgramName, source.c_str());
      ok = false;
    } else {
      Selections.push_back(source);
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

int RunBackup(const BackupOptions& Options) {
  std::vector<std::string> selections;
  if (!ResolveSources(Options, selections)) return kExitFailed;

  TBackupFile engine;
  engine.CompressionLevel = LevelByName(Options.Level);
  engine.MaxSize = static_cast<int32_t>(Options.VolumeSize);
  engine.BackupTitle = Options.Title;
  engine.SaveFileID = Options.FileIds;
  engine.Threads = Options.Threads;
  if (Options.Incremental) engine.SetBackupMode(bmIncremental);
  if (Options.ClearArchiveFlag) engine.SetArchiveFlag = true;

  ProgressLine progress(!Options.Quiet && StandardErrorIsTerminal());
  AttachTerminalHooks(engine, &progress);
  // Further volumes go beside the first without a question.
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool& Continue) { Continue = true; };
  StopOnInterrupt(engine);

  const bool toStandardOutput = Options.Archive == "-";
  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  try {
    if (toStandardOutput) {
      // A reader that went away must end the run with a message, not kill it.
      platform::IgnoreBrokenPipe();
      THandleStream out(TStandardHandle::Output);
      ok = engine.BackupToStream(selections, &out);
      if (!ok && engine.ErrorCode() == 0 && !Interrupted()) {
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
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeException(e).c_str());
    return kExitFailed;
  }
  progress.Clear();
  if (Interrupted())
    std::fprintf(stderr,
                 toStandardOutput ? "%s: stopped; the archive is incomplete\n"
                                  : "%s: stopped; no archive was written, an older one is left "
                                    "as it was\n",
                 kProgramName);
  // An empty archive is valid, but a mistyped SOURCE should not pass unseen.
  if (ok && engine.FileCount() == 0)
    std::fprintf(stderr, "%s: warning: SOURCE selected no files; the archive holds none\n",
                 kProgramName);

  if (!Options.Quiet) {
    const Summary figures{
        engine.FilesDone(),
        engine.TotalSize(),
        engine.ArchiveBytes(),
        engine.CompressionRate(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
        ok};
    // Standard output may be the archive itself.
    PrintSummary(toStandardOutput ? stderr : stdout, figures);
  }
  if (!ok) return kExitFailed;
  // Read back as a restore would read it: a backup that cannot be restored
  // is no backup.
  if (Options.Verify &&
      CheckArchive(Options.Archive, Options.Quiet, true, Options.Threads) != kExitOk) {
    std::fprintf(stderr, "%s: verification found damage in the archive just written\n",
                 kProgramName);
    return kExitFailed;
  }
  return engine.ErrorCode() == beFileChanged ? kExitChanged : kExitOk;
}

}  // namespace

void AddBackupCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "backup",
      "Back the files that SOURCE selects up into the archive ARCHIVE. Every file is cut into "
      "pieces of 16,384 bytes, each compressed on its own into a zlib stream.");
  auto options = std::make_shared<BackupOptions>();

  command
      ->add_option("-l,--level", options->Level,
                   "compression level of every piece: fastest (level 1), none (stored), default "
                   "(level 6) or max (libdeflate 10, or zlib 9 in a build without libdeflate)")
      ->check(CLI::IsMember({"fastest", "none", "default", "max"}))
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
                    "after the backup, read the whole archive back as a restore would (nothing "
                    "is written) and fail when any of it is damaged");
  command->add_flag("-q,--quiet", options->Quiet,
                    "no progress line and no summary; errors are still reported");
  AddThreadsOption(*command, options->Threads);
  command
      ->add_option("ARCHIVE", options->Archive,
                   "the archive file to create (an existing one is replaced once the new one "
                   "is complete), or - for standard output (one volume)")
      ->required();
  command
      ->add_option("SOURCE", options->Sources,
                   "a folder (with all its sub-directories), a file, or a pattern such as "
                   "\"/home/ann/data/*.txt\"; \" /s\" at a pattern's end takes "
                   "sub-directories too, e.g. \"/home/ann/data/*.txt /s\". A SOURCE that names "
                   "nothing stops the backup before any archive is written; a pattern that "
                   "matches no file is only warned about.")
      ->required();
  command->footer(std::string(kExitStatusText) +
                  " A failed backup leaves an existing archive of that name as it was.");

  command->callback([options, &Status] {
    if (options->Archive == "-" && options->VolumeSize != 0)
      throw CLI::ValidationError("--volume-size",
                                 "an archive on standard output cannot be split into volumes");
    if (options->Archive == "-" && options->Verify)
      throw CLI::ValidationError("--verify", "an archive on standard output cannot be read back");
    Status = RunBackup(*options);
  });
}

}  // namespace kelmora::cli

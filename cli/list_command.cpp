// kelmora-cli list: the archive's title, totals and file-ID list, without
// restoring anything.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/progress.h"
#include "engine/backup_file.h"
#include "engine/streams.h"
#include "platform/platform.h"

namespace kelmora::cli {

namespace {

struct ListOptions {
  std::string Archive;
};

// "path<TAB>stamp=size" shown as "date time  size  path"; a line of any
// other form is shown as it stands.
std::string FormatFileIdLine(const std::string& Line) {
  const size_t tab = Line.rfind('\t');
  const size_t equals = Line.rfind('=');
  if (tab == std::string::npos || equals == std::string::npos || equals < tab) return Line;
  try {
    const long stamp = std::stol(Line.substr(tab + 1, equals - tab - 1));
    const long long size = std::stoll(Line.substr(equals + 1));
    char when[32] = "(no valid time)";
    std::time_t t;
    struct tm tm;
    if (platform::UnpackTime(static_cast<int32_t>(stamp), t) && ::localtime_r(&t, &tm))
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    char head[64];
    std::snprintf(head, sizeof head, "%s  %15s  ", when, GroupDigits(size).c_str());
    return head + Line.substr(0, tab);
  } catch (const std::exception&) {
    return Line;
  }
}

int RunList(const ListOptions& Options) {
  const bool fromStandardInput = Options.Archive == "-";
  if (!fromStandardInput && !platform::FileExists(Options.Archive)) {
    std::fprintf(stderr, "%s: archive not found: %s\n", kProgramName, Options.Archive.c_str());
    return kExitFailed;
  }
  TBackupFile engine;
  AttachTerminalHooks(engine, nullptr);
  bool failed = false;
  engine.OnError = [&failed](TBackupFile&, int32_t, const std::string& Text) {
    failed = true;
    std::fprintf(stderr, "%s: %s\n", kProgramName, Text.c_str());
  };
  TStringList fileIds;
  std::string title;
  if (fromStandardInput) {
    THandleStream in(STDIN_FILENO);
    title = engine.GetArchiveTitleFromStream(&in, &fileIds);
  } else {
    title = engine.GetArchiveTitle(Options.Archive, &fileIds);
  }

  std::printf("Title:        %s\n", title.c_str());
  std::printf("Total size:   %s bytes (%s)\n", GroupDigits(engine.TotalSize()).c_str(),
              HumanSize(engine.TotalSize()).c_str());
  std::printf("Files:        %s\n", GroupDigits(engine.FileCount()).c_str());
  if (!fileIds.empty()) {
    std::printf("File IDs:     %s\n", GroupDigits(static_cast<int64_t>(fileIds.size())).c_str());
    for (const std::string& line : fileIds) std::printf("  %s\n", FormatFileIdLine(line).c_str());
  }
  std::fflush(stdout);
  return failed ? kExitFailed : kExitOk;
}

}  // namespace

void AddListCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "list",
      "Show the title, total size and file count of the archive ARCHIVE and, when it holds "
      "one, its file-ID list (last-write time, size and path of every file backed up).");
  auto options = std::make_shared<ListOptions>();
  command->add_option("ARCHIVE", options->Archive, "the archive, or - for standard input")
      ->required();
  command->footer("Exit status: 0 when the archive could be read, 1 when it could not.");
  command->callback([options, &Status] { Status = RunList(*options); });
}

}  // namespace kelmora::cli

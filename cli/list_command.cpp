// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli list: what an archive holds, read from its records alone.

#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "progress.h"

namespace kelmora::cli {

namespace {

struct ListOptions {
  bool Long = false;
  bool Json = false;
  bool Summary = false;
  std::string Archive;
};

// The packed local time as Form gives it ("2026-03-01 14:05:08", with T in
// place of the blank for JSON), or "" when it is no valid date. Read from
// the stamp's fields: they are the local time already.
std::string FormatStamp(int32_t Stamp, char Separator) {
  TStampFields f;
  if (!SplitStamp(Stamp, f)) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", f.Year, f.Month, f.Day,
                Separator, f.Hour, f.Minute, f.Second);
  return text;
}

// Length of the UTF-8 sequence at Text[At], or 0 when it is not one.
size_t Utf8Length(const std::string& Text, size_t At) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(Text[i]); };
  const unsigned char lead = byte(At);
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF)
    length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF)
    length = 3;
  else if (lead >= 0xF0 && lead <= 0xF4)
    length = 4;
  if (length == 0 || At + length > Text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(At + i) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and code points beyond U+10FFFF.
  if (lead == 0xE0 && byte(At + 1) < 0xA0) return 0;
  if (lead == 0xED && byte(At + 1) > 0x9F) return 0;
  if (lead == 0xF0 && byte(At + 1) < 0x90) return 0;
  if (lead == 0xF4 && byte(At + 1) > 0x8F) return 0;
  return length;
}

// A JSON string. Names are bytes; a byte that is not part of valid UTF-8
// cannot be said in JSON and becomes U+FFFD.
std::string JsonString(const std::string& Text) {
  std::string out = "\"";
  for (size_t i = 0; i < Text.size();) {
    const unsigned char c = static_cast<unsigned char>(Text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (const size_t length = Utf8Length(Text, i)) {
      out.append(Text, i, length);
      i += length;
      continue;
    } else {
      out += "\\ufffd";
    }
    ++i;
  }
  return out + '"';
}

void PrintEntry(const ListOptions& Options, const TArchiveEntry& Entry) {
  if (Options.Json) {
    const std::string when = FormatStamp(Entry.Stamp, 'T');
    std::printf(
        "{\"name\":%s,\"size\":%s,\"packed\":%lld,\"chunks\":%d,\"time\":%s,"
        "\"volume\":%u}\n",
        JsonString(Entry.Name).c_str(),
        Entry.Size < 0 ? "null" : std::to_string(Entry.Size).c_str(),
        static_cast<long long>(Entry.Packed), Entry.Chunks,
        when.empty() ? "null" : JsonString(when).c_str(), static_cast<unsigned>(Entry.Volume));
  } else if (Options.Long) {
    std::string when = FormatStamp(Entry.Stamp, ' ');
    if (when.empty()) when = "-";
    std::printf("%15s %15s  %-19s %4u  %s\n",
                Entry.Size < 0 ? "-" : GroupDigits(Entry.Size).c_str(),
                GroupDigits(Entry.Packed).c_str(), when.c_str(),
                static_cast<unsigned>(Entry.Volume), Entry.Name.c_str());
  } else {
    std::printf("%s\n", Entry.Name.c_str());
  }
}

int RunSummary(const ListOptions& Options, TBackupFile& Engine) {
  std::string title;
  if (Options.Archive == "-") {
    THandleStream in(TStandardHandle::Input);
    title = Engine.GetArchiveTitleFromStream(&in, nullptr);
  } else {
    title = Engine.GetArchiveTitle(Options.Archive, nullptr);
  }
  std::printf("Title:        %s\n", title.c_str());
  std::printf("Total size:   %s bytes (%s)\n", GroupDigits(Engine.TotalSize()).c_str(),
              HumanSize(Engine.TotalSize()).c_str());
  std::printf("Files:        %s\n", GroupDigits(Engine.FileCount()).c_str());
  return kExitOk;
}

int RunList(const ListOptions& Options) {
  const bool fromStandardInput = Options.Archive == "-";
  if (!ArchiveCanBeRead(Options.Archive)) return kExitFailed;
  TBackupFile engine;
  AttachTerminalHooks(engine, nullptr);
  // Names alone lose nothing without the companion; sizes do.
  if (Options.Long || Options.Json) {
    const std::string lost = "sizes of compressed files are not known";
    AttachCompanionNote(engine, nullptr, lost);
    if (fromStandardInput) NoteStreamHasNoCompanion(lost);
  }
  bool failed = false;
  const TBackupErrorEvent report = engine.OnError;
  engine.OnError = [&failed, report](TBackupFile& Sender, int32_t Code, const std::string& Text) {
    failed = true;
    report(Sender, Code, Text);
  };
  // Damage a listing meets (a file-ID list beyond its bounds) costs only
  // what it would have told; it is named, and the listing goes on.
  engine.OnDamage = [&failed](TBackupFile&, const TDamage& Damage) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeDamage(Damage).c_str());
    failed = true;
  };
  // A listing never waits for a missing volume: it names it and stops.
  AttachVolumeQuestion(engine, Options.Archive, nullptr, {false, false, &failed, "list"});

  StopOnInterrupt(engine);

  bool complete = false;
  try {
    if (Options.Summary) {
      RunSummary(Options, engine);
      complete = true;
    } else {
      const TListEntryEvent each = [&Options](TBackupFile&, const TArchiveEntry& Entry) {
        PrintEntry(Options, Entry);
      };
      if (fromStandardInput) {
        THandleStream in(TStandardHandle::Input);
        complete = engine.ListArchiveFromStream(&in, each);
      } else {
        complete = engine.ListArchive(Options.Archive, each);
      }
    }
  } catch (const EStreamError& e) {
    std::fflush(stdout);
    // A read the disk failed is no cut archive.
    if (e.SystemError() != 0)
      std::fprintf(stderr, "%s: %s: %s\n", kProgramName,
                   fromStandardInput ? "standard input" : Options.Archive.c_str(),
                   DescribeException(e).c_str());
    else
      std::fprintf(stderr, "%s: %s: the archive ends early: it is damaged or incomplete\n",
                   kProgramName, fromStandardInput ? "standard input" : Options.Archive.c_str());
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", kProgramName,
                 fromStandardInput ? "standard input" : Options.Archive.c_str(),
                 DescribeException(e).c_str());
    return kExitFailed;
  }
  std::fflush(stdout);
  if (Interrupted() && !complete) std::fprintf(stderr, "%s: list interrupted\n", kProgramName);
  return failed || !complete ? kExitFailed : kExitOk;
}

}  // namespace

void AddListCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "list",
      "List the files of the archive ARCHIVE, one stored name a line. Only the records are "
      "read: every file's data is stepped over, never inflated, so a large archive lists "
      "quickly. Split archives are followed volume by volume.");
  auto options = std::make_shared<ListOptions>();
  CLI::Option* longForm = command->add_flag(
      "-l,--long", options->Long,
      "also show, before each name: the file's size (from the companion ARCHIVE.kx; without "
      "it from the archive's file-ID list, or when its data is stored uncompressed, and \"-\" "
      "otherwise, because the archive itself records no size), the bytes it takes in the "
      "archive, its last-write time and the volume its entry starts in");
  CLI::Option* json = command->add_flag(
      "--json", options->Json,
      "one JSON object per line: name, size (null when unknown), packed, chunks, time (local, "
      "null when it is no valid date) and volume; a byte of a name that is not UTF-8 shows "
      "as U+FFFD");
  CLI::Option* summary = command->add_flag(
      "--summary", options->Summary,
      "show only the archive's title, total size and file count, from its header");
  longForm->excludes(json);
  summary->excludes(longForm);
  summary->excludes(json);
  command->add_option("ARCHIVE", options->Archive, "the archive, or - for standard input")
      ->required();
  RefuseDigitOptions(*command);
  command->footer(ExitStatusText("every record of the archive was read, to its end marker",
                                 "it failed or the archive is incomplete", false));
  command->callback([options, &Status] { Status = RunList(*options); });
}

}  // namespace kelmora::cli

// SPDX-License-Identifier: GPL-3.0-or-later

#include "progress.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <filesystem>

#include "commands.h"
#include "kelmora/console.h"
#include "kelmora/helpers.h"

namespace kelmora::cli {

namespace {

// A few redraws a second are enough to look alive and cost nothing.
constexpr std::chrono::milliseconds kRedrawInterval{250};
// A log gets a line this often: enough to see a run move, few enough to read.
constexpr std::chrono::seconds kPlainInterval{5};
// Seconds of work before a time left is told.
constexpr double kFirstEstimate = 1.0;

volatile std::sig_atomic_t interrupted = 0;

void NoteInterrupt(int) {
  interrupted = 1;
}

// Keeps the end of a path, which names the file, when it must be shortened.
std::string FitLeft(const std::string& Text, size_t Width) {
  if (Text.size() <= Width) return Text;
  if (Width <= 3) return Text.substr(Text.size() - Width);
  return "..." + Text.substr(Text.size() - (Width - 3));
}

}  // namespace

bool StandardErrorIsTerminal() {
  return platform::StandardErrorIsTerminal();
}

ProgressLine::ProgressLine(const ProgressChoice& Choice)
    : ProgressLine(Choice.Quiet                ? Style::None
                   : StandardErrorIsTerminal() ? Style::Redrawn
                   : Choice.Forced             ? Style::Plain
                                               : Style::None) {}

ProgressLine::ProgressLine(Style Kind) : style_(Kind), start_(Clock::now()), lastDraw_(start_) {}

void ProgressLine::Update(const std::string& File, int Percent, int64_t Bytes, int64_t Total) {
  if (style_ == Style::None) return;
  const Clock::time_point now = Clock::now();
  if (style_ == Style::Plain) {
    // A log wants the start, the end once, and a line now and then.
    if (started_ && (Percent < 100 || ended_) && now - lastDraw_ < kPlainInterval) return;
    ended_ = ended_ || Percent >= 100;
  } else if (drawn_ && Percent < 100 && now - lastDraw_ < kRedrawInterval) {
    return;
  }
  lastDraw_ = now;
  Draw(File, Percent, Bytes, Total);
}

std::string FormatDuration(double Seconds) {
  const int64_t whole = static_cast<int64_t>(std::ceil(std::max(0.0, Seconds)));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", whole / 3600,
                  static_cast<int>(whole / 60 % 60), static_cast<int>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(whole / 60),
                  static_cast<int>(whole % 60));
  }
  return text;
}

void ProgressLine::Draw(const std::string& File, int Percent, int64_t Bytes, int64_t Total) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const int64_t speed =
      seconds > 0 ? static_cast<int64_t>(static_cast<double>(Bytes) / seconds) : 0;
  // The time left from the bytes done so far against those still to do;
  // the first second's rate says too little to be worth showing.
  std::string left;
  if (Bytes > 0 && Total > Bytes && seconds >= kFirstEstimate)
    left =
        FormatDuration(seconds * static_cast<double>(Total - Bytes) / static_cast<double>(Bytes));
  started_ = true;
  if (style_ == Style::Plain) {
    std::string line = std::string(kProgramName) + ": " + std::to_string(Percent) + "%, " +
                       HumanSize(Bytes) + (Total > 0 ? " of " + HumanSize(Total) : "");
    if (Bytes > 0) line += ", " + HumanSize(speed) + "/s";
    if (!left.empty()) line += ", " + left + " left";
    if (!File.empty()) line += ", " + File;
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    return;
  }
  char head[128];
  std::snprintf(head, sizeof head, "%3d%%  %10s  %10s/s  %9s  ", Percent, HumanSize(Bytes).c_str(),
                HumanSize(speed).c_str(), left.empty() ? "" : (left + " left").c_str());
  const std::string headText = head;
  const size_t width = static_cast<size_t>(platform::TerminalWidth()) - 1;
  std::string line = headText.size() < width ? headText + FitLeft(File, width - headText.size())
                                             : headText.substr(0, width);
  // "\x1b[K" erases what a longer earlier line left to the right.
  std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

bool AskOnTerminal(const std::string& Caption, const std::string& Text) {
  // The terminal itself, not standard input: that may carry an archive.
  std::string answer;
  if (!platform::AskTerminal(Caption + ": " + Text + " [OK/cancel] ", answer))
    return false;  // no answer at all is no consent
  return answer.empty() || answer[0] == 'o' || answer[0] == 'O' || answer[0] == 'y' ||
         answer[0] == 'Y';
}

void StopOnInterrupt(TBackupFile& Engine) {
  platform::CatchInterrupt(NoteInterrupt);
  Engine.Hooks.ProcessMessages = [&Engine] {
    if (interrupted) Engine.Stop();
  };
}

bool Interrupted() {
  return interrupted != 0;
}

std::string DescribeError(const TBackupFile& Engine, int32_t Code) {
  if (Code == beFileChanged) {
    // One line per file, each naming it, as every other message does.
    const std::string message = ErrorMessage(Code);
    std::string lines;
    for (const std::string& file : Engine.ChangedFiles())
      lines +=
          (lines.empty() ? "" : std::string("\n") + kProgramName + ": ") + message + ": " + file;
    return lines.empty() ? message : lines;
  }
  // Printed from what the engine recorded where the failure happened.
  TFailure failure = Engine.Failure();
  if (failure.Code != Code) failure = TFailure{static_cast<TBackupError>(Code), {}, {}};
  if (failure.Subject == kStreamArchiveName) failure.Subject = "standard input/output";
  return DescribeFailure(failure);
}

void AttachTerminalHooks(TBackupFile& Engine, ProgressLine* Progress) {
  Engine.Hooks.ShowError = [Progress](const std::string&, const std::string& Text) {
    if (Progress) Progress->Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, Text.c_str());
  };
  Engine.OnError = [Progress](TBackupFile& Sender, int32_t Code, const std::string&) {
    if (Progress) Progress->Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeError(Sender, Code).c_str());
  };
  Engine.Hooks.AskOkCancel = [Progress](const std::string& Caption, const std::string& Text) {
    if (Progress) Progress->Clear();
    return AskOnTerminal(Caption, Text);
  };
  if (Progress && Progress->Enabled()) {
    Engine.OnProgress = [Progress](TBackupFile& Sender, const std::string& File,
                                   TPercentage Percent, bool&) {
      Progress->Update(File, Percent, Sender.BytesDone(), Sender.TotalSize());
    };
  }
}

bool ArchiveCanBeRead(const std::string& Archive) {
  if (Archive == "-") return true;
  const TFailure failure = CheckArchiveFile(Archive);
  if (failure.Code == beNone) return true;
  std::fprintf(stderr, "%s: %s: %s\n", kProgramName, Archive.c_str(), failure.Reason.c_str());
  return false;
}

void AttachVolumeQuestion(TBackupFile& Engine, const std::string& Archive, ProgressLine* Progress,
                          const VolumeQuestion& How) {
  Engine.OnNeedDisk = [Archive, Progress, How](TBackupFile&, uint16_t Disk, bool& Continue) {
    const std::string volume = VolumeFileName(Archive, Disk);
    if (IsFile(volume)) return;
    if (Progress) Progress->Clear();
    if (How.Missed != nullptr) *How.Missed = true;
    const auto number = static_cast<unsigned>(Disk);
    if (How.AsFinding) {
      std::printf("missing: volume %u (%s)\n", number, volume.c_str());
      Continue = false;
      return;
    }
    if (!How.Ask || !platform::HasTerminal()) {
      std::fprintf(stderr, "%s: volume %u of the archive is missing: %s\n", kProgramName, number,
                   volume.c_str());
      Continue = false;
      return;
    }
    Continue = AskOnTerminal("Information", "Volume " + std::to_string(Disk) + " is missing: put " +
                                                volume + " in place and choose OK to continue.");
    if (!Continue)
      std::fprintf(stderr, "%s: %s cancelled; volume %u is missing: %s\n", kProgramName,
                   How.Command, number, volume.c_str());
  };
}

bool IsFile(const std::string& Path) {
  std::error_code error;
  return std::filesystem::is_regular_file(Path, error);
}

bool MakeFolder(const std::string& Path, std::string* Why) {
  std::error_code error;
  std::filesystem::create_directories(Path, error);
  if (!error && std::filesystem::is_directory(Path, error)) return true;
  // Something in its place that is no folder makes no error of its own.
  if (Why != nullptr)
    *Why = error ? error.message() : std::make_error_code(std::errc::not_a_directory).message();
  return false;
}

std::string HumanSize(int64_t Bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(Bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%" PRId64 " B", Bytes);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  }
  return text;
}

std::string GroupDigits(int64_t Value) {
  const bool negative = Value < 0;
  // Through unsigned, so the smallest int64 has a magnitude too.
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value);
  const std::string digits = std::to_string(magnitude);
  std::string grouped = negative ? "-" : "";
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

void PrintSummary(std::FILE* Out, const Summary& Figures) {
  std::fprintf(Out, "Files:        %s\n", GroupDigits(Figures.Files).c_str());
  std::fprintf(Out, "Total size:   %s bytes (%s)\n", GroupDigits(Figures.TotalSize).c_str(),
               HumanSize(Figures.TotalSize).c_str());
  std::fprintf(Out, "Archive:      %s bytes (%s)\n", GroupDigits(Figures.ArchiveBytes).c_str(),
               HumanSize(Figures.ArchiveBytes).c_str());
  if (!Figures.Complete || Figures.TotalSize == 0) {
    // Nothing to compare: an archive cut short, or one of empty files.
  } else if (Figures.CompressionRate >= 0) {
    std::fprintf(Out, "Compression:  %d%%\n", Figures.CompressionRate);
  } else {
    // A few bytes of data gain nothing, and every file's records cost a
    // few: a percentage of that would only alarm.
    std::fprintf(Out, "Compression:  none (the records add %s bytes to %s bytes of data)\n",
                 GroupDigits(Figures.ArchiveBytes - Figures.TotalSize).c_str(),
                 GroupDigits(Figures.TotalSize).c_str());
  }
  if (Figures.HiddenFolders > 0)
    std::fprintf(Out, "Left out:     %s (--hidden takes %s in)\n",
                 Figures.HiddenFolders == 1
                     ? "1 hidden folder"
                     : (GroupDigits(Figures.HiddenFolders) + " hidden folders").c_str(),
                 Figures.HiddenFolders == 1 ? "it" : "them");
  if (Figures.Unreadable > 0)
    std::fprintf(Out, "Left out:     %s unreadable (named on standard error)\n",
                 GroupDigits(Figures.Unreadable).c_str());
  std::fprintf(Out, "Time:         %.2f s\n", Figures.Seconds);
  std::fflush(Out);
}

}  // namespace kelmora::cli

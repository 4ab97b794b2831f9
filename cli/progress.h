// SPDX-License-Identifier: GPL-3.0-or-later
//
// What every command shows on the terminal: the engine's hooks (errors on
// standard error, the need-disk question on the terminal), a throttled
// progress line, and the summary at the end. Commands only pick what they
// want and pass the engine's figures in.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "kelmora/backup_file.h"

namespace kelmora::cli {

inline constexpr const char* kProgramName = "kelmora-cli";

// True when standard error is a terminal, where a redrawn line makes sense.
bool StandardErrorIsTerminal();

struct ProgressChoice;

// How far a run has got, on standard error: percentage, bytes so far,
// speed, time left and the current file. On a terminal one line redrawn
// in place a few times a second; asked for with --progress where standard
// error is no terminal (a log), a plain line at the start, every few
// seconds and at the end. Draws nothing when neither applies, so callers
// need not ask twice.
class ProgressLine {
 public:
  enum class Style { None, Redrawn, Plain };
  explicit ProgressLine(const ProgressChoice& Choice);
  explicit ProgressLine(Style Kind);
  ~ProgressLine() { Clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool Enabled() const { return style_ != Style::None; }
  // Draws only when the last drawing is old enough or Percent reached 100,
  // so it is cheap to call after every chunk. Total is the bytes to do in
  // all, 0 when unknown; the time left is told from Bytes against it.
  void Update(const std::string& File, int Percent, int64_t Bytes, int64_t Total);
  // Removes a redrawn line, so that what is printed next starts clean.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(const std::string& File, int Percent, int64_t Bytes, int64_t Total);

  Style style_;
  bool drawn_ = false;    // a redrawn line is on the terminal
  bool started_ = false;  // anything was drawn or printed
  bool ended_ = false;    // the plain line at 100% was printed
  Clock::time_point start_;
  Clock::time_point lastDraw_;
};

// "0:42", "1:02:03": a time left, rounded up to whole seconds.
std::string FormatDuration(double Seconds);

// Connects the engine to the terminal: error messages go to standard
// error (clearing Progress first) with the file they concern, the
// need-disk question is asked on the terminal and answered Cancel where
// there is none, and OnProgress feeds Progress. Progress may be null.
void AttachTerminalHooks(TBackupFile& Engine, ProgressLine* Progress);

// The engine's message for Code with the file or archive it concerns and
// the system's reason, as the engine recorded them where the failure
// happened; one line for each file that changed while it was read for
// code 8.
std::string DescribeError(const TBackupFile& Engine, int32_t Code);

// The one interrupt handler of every command: the first Ctrl-C, SIGTERM
// or SIGHUP is a stop request, which the engine honours at its next step
// (a chunk, a folder, an entry) and so winds down properly: an archive
// being written is removed and an older one kept, a file being restored
// is removed with its temporary name. A second one ends the program.
void StopOnInterrupt(TBackupFile& Engine);
// True once such a signal has come.
bool Interrupted();

// Asks Text on the controlling terminal; true for OK. False at once when
// there is no terminal, so a script never waits for an answer.
bool AskOnTerminal(const std::string& Caption, const std::string& Text);

// How a command meets a volume of Archive that is not beside the first.
struct VolumeQuestion {
  // On a terminal, the user is asked to put it in place (a restore); else,
  // and always without a terminal, the run ends at once, so a script never
  // waits or loops.
  bool Ask = false;
  // Named on standard output as a finding of the report ("missing: volume
  // 2 (...)"), not on standard error as a failure (a test).
  bool AsFinding = false;
  bool* Missed = nullptr;    // set when a volume was found missing
  const char* Command = "";  // named when the user cancels the question
};
// The one missing-volume prompt of the command line: a volume beside the
// first passes unasked; a missing one is asked for or named, as How says.
void AttachVolumeQuestion(TBackupFile& Engine, const std::string& Archive, ProgressLine* Progress,
                          const VolumeQuestion& How);

// True when Archive ("-" for standard input) may be read as an archive;
// otherwise says on standard error, in the same words for every command,
// what it is instead (missing, a folder, no regular file, not readable
// with the system's reason, empty, not a Kelmora archive).
bool ArchiveCanBeRead(const std::string& Archive);

// A regular file, links followed.
bool IsFile(const std::string& Path);
// Makes Path with every missing parent; true when it is a folder
// afterwards, else the system's reason in Why.
bool MakeFolder(const std::string& Path, std::string* Why = nullptr);

// "1.5 MiB"
std::string HumanSize(int64_t Bytes);
// "1,234,567"
std::string GroupDigits(int64_t Value);

// The figures shown after a run.
struct Summary {
  int32_t Files = 0;         // files written or restored
  int64_t TotalSize = 0;     // source bytes, as measured or as the header says
  int64_t ArchiveBytes = 0;  // bytes of data sections
  int32_t CompressionRate = 0;
  double Seconds = 0;
  bool Complete = true;       // an archive cut short has no meaningful rate
  int32_t HiddenFolders = 0;  // left out by the selection
  int32_t Unreadable = 0;     // files and folders left out, unreadable
};

void PrintSummary(std::FILE* Out, const Summary& Figures);

}  // namespace kelmora::cli

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a command-line program needs of the system beyond the engine: the
// terminal (whether standard error is one, how wide it is, a question asked
// on it), the interrupt key, and the shell's pattern match.
#pragma once

#include <string>

namespace kelmora::platform {

// True when standard error is a terminal that can redraw a line in place.
bool StandardErrorIsTerminal();
// True when standard output is a terminal, where an archive must not go.
bool StandardOutputIsTerminal();
// The width in columns of the terminal standard error shows on; 80 when
// it cannot be told.
int TerminalWidth();

// True when the program has a terminal of its own to ask on, apart from
// standard input (which may carry an archive).
bool HasTerminal();
// Writes Prompt on that terminal and reads one line into Answer (without
// its line end). False when there is no terminal or no answer came.
bool AskTerminal(const std::string& Prompt, std::string& Answer);

// Makes the first Ctrl-C, request to end or hang-up (SIGINT, SIGTERM,
// SIGHUP; Ctrl-Break on Windows) call Handler, which may only set a flag;
// a second one of the same kind ends the program as usual.
void CatchInterrupt(void (*Handler)(int));
// A reader that goes away shows as a failed write, not as the end of the
// program.
void IgnoreBrokenPipe();
// Standard input, output and error carry bytes exactly: Windows would
// otherwise turn line ends in an archive written to a pipe into CR LF.
void UseBinaryStandardStreams();

// The shell's match of a pattern against a path: "*" and "?" match "/"
// too, "[a-z]" a set. Where names ignore case (Windows) so does the match,
// and "\\" separates like "/". Elsewhere names keep their case, and only
// where the pattern's last component meets the file's own name (both past
// their last "/") does ASCII case not count: "*.txt" takes "a/README.TXT",
// "Docs/*" does not take "docs/a.txt"; "\\" takes the next character as
// it is.
bool MatchPathPattern(const std::string& Pattern, const std::string& Path);

}  // namespace kelmora::platform

// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <io.h>

#include <csignal>

#include "kelmora/console.h"
#include "platform/win32/win32_support.h"

namespace kelmora::platform {

namespace {

char Folded(char C) {
  if (C == '\\') return '/';
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

// One "[...]" set at Pattern[p] (just after "["): whether C is in it, and
// where the pattern goes on. A "[" without its "]" is an ordinary character.
bool MatchSet(const std::string& Pattern, size_t& p, char C, bool& Matched) {
  size_t i = p;
  const bool negated = i < Pattern.size() && (Pattern[i] == '!' || Pattern[i] == '^');
  if (negated) ++i;
  bool in = false;
  for (bool first = true; i < Pattern.size() && (first || Pattern[i] != ']'); first = false) {
    const char low = Folded(Pattern[i]);
    if (i + 2 < Pattern.size() && Pattern[i + 1] == '-' && Pattern[i + 2] != ']') {
      in = in || (C >= low && C <= Folded(Pattern[i + 2]));
      i += 3;
    } else {
      in = in || C == low;
      ++i;
    }
  }
  if (i >= Pattern.size()) return false;
  p = i + 1;
  Matched = in != negated;
  return true;
}

bool MatchFrom(const std::string& Pattern, size_t p, const std::string& Path, size_t n) {
  while (p < Pattern.size()) {
    const char c = Pattern[p];
    if (c == '*') {
      while (p < Pattern.size() && Pattern[p] == '*') ++p;
      if (p == Pattern.size()) return true;
      for (size_t from = n; from <= Path.size(); ++from)
        if (MatchFrom(Pattern, p, Path, from)) return true;
      return false;
    }
    if (n == Path.size()) return false;
    const char here = Folded(Path[n]);
    if (c == '?') {
      ++p;
    } else if (c == '[') {
      size_t next = p + 1;
      bool matched = false;
      if (MatchSet(Pattern, next, here, matched)) {
        if (!matched) return false;
        p = next;
      } else {
        if (here != '[') return false;
        ++p;
      }
    } else {
      if (Folded(c) != here) return false;
      ++p;
    }
    ++n;
  }
  return n == Path.size();
}

// The console itself, not the standard handles: those may be redirected.
HANDLE OpenConsole(const char* Name) {
  return ::CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

bool StandardErrorIsTerminal() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == nullptr || err == INVALID_HANDLE_VALUE || !::GetConsoleMode(err, &mode)) return false;
  // The progress line is redrawn with terminal escapes, which a console
  // obeys only once asked to; one too old to be asked gets no line.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width >= 20) return width;
  }
  return 80;
}

bool HasTerminal() {
  const HANDLE in = OpenConsole("CONIN$");
  if (in == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(in);
  return true;
}

bool AskTerminal(const std::string& Prompt, std::string& Answer) {
  const HANDLE in = OpenConsole("CONIN$");
  if (in == INVALID_HANDLE_VALUE) return false;
  const HANDLE out = OpenConsole("CONOUT$");
  DWORD written = 0;
  bool ok = out != INVALID_HANDLE_VALUE &&
            ::WriteFile(out, Prompt.data(), static_cast<DWORD>(Prompt.size()), &written, nullptr) &&
            written == Prompt.size();
  Answer.clear();
  bool answered = false;
  char c = 0;
  DWORD n = 0;
  while (ok && ::ReadFile(in, &c, 1, &n, nullptr) && n == 1) {
    answered = true;
    if (c == '\n') break;
    if (c != '\r') Answer += c;
  }
  if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
  ::CloseHandle(in);
  return ok && answered;
}

void CatchInterrupt(void (*Handler)(int)) {
  // The C library resets a handler to the default before it calls it, so
  // a second Ctrl-C ends the program.
  std::signal(SIGINT, Handler);
  std::signal(SIGTERM, Handler);
  std::signal(SIGBREAK, Handler);
}

void IgnoreBrokenPipe() {
  // Windows has no such signal: a write to a closed pipe simply fails.
}

bool MatchPathPattern(const std::string& Pattern, const std::string& Path) {
  return MatchFrom(Pattern, 0, Path, 0);
}

void UseBinaryStandardStreams() {
  ::_setmode(0, _O_BINARY);
  ::_setmode(1, _O_BINARY);
  // Messages end their lines as the listings on standard output do.
  ::_setmode(2, _O_BINARY);
}

}  // namespace kelmora::platform

// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "kelmora/console.h"

namespace kelmora::platform {

namespace {

char LowerAscii(char C) {
  return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C;
}

// How one pattern is laid against one path. Past both last "/"s, where
// the pattern's last component meets the file's own name, letters match
// in either ASCII case; everywhere else, as every name, exactly.
class PathMatch {
 public:
  PathMatch(const std::string& Pattern, const std::string& Path)
      : pattern_(Pattern),
        path_(Path),
        patternName_(Pattern.rfind('/') + 1),  // npos + 1 is 0
        pathName_(Path.rfind('/') + 1) {}

  // Backtracks to the last "*" only, which keeps it within
  // pattern length times path length steps.
  bool Run() const {
    size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < path_.size()) {
      size_t next = p;
      if (p < pattern_.size() && pattern_[p] == '*') {
        starP = p++;
        starN = n;
        continue;
      }
      if (p < pattern_.size() && MatchOne(p, n, next)) {
        p = next;
        ++n;
      } else if (starP != std::string::npos) {
        p = starP + 1;
        n = ++starN;
      } else {
        return false;
      }
    }
    while (p < pattern_.size() && pattern_[p] == '*') ++p;
    return p == pattern_.size();
  }

 private:
  bool Same(size_t P, char PatternChar, size_t N) const {
    if (PatternChar == path_[N]) return true;
    return P >= patternName_ && N >= pathName_ && LowerAscii(PatternChar) == LowerAscii(path_[N]);
  }

  // Whether the pattern item at P ("?", a "[...]" set, "\x" or a plain
  // character) takes the path's character at N; Next is where the pattern
  // goes on.
  bool MatchOne(size_t P, size_t N, size_t& Next) const {
    const char c = pattern_[P];
    if (c == '?') {
      Next = P + 1;
      return true;
    }
    if (c == '[' && MatchSet(P, N, Next)) return true;
    if (c == '[' && Next != P) return false;  // a set that does not take it
    if (c == '\\' && P + 1 < pattern_.size()) {
      Next = P + 2;
      return Same(P + 1, pattern_[P + 1], N);
    }
    Next = P + 1;
    return Same(P, c, N);
  }

  // A "[...]" set at P, "!" or "^" first for its complement, "a-z" for a
  // range. Next stays at P when the "[" has no "]" and is a plain character.
  bool MatchSet(size_t P, size_t N, size_t& Next) const {
    size_t i = P + 1;
    const bool negated = i < pattern_.size() && (pattern_[i] == '!' || pattern_[i] == '^');
    if (negated) ++i;
    const size_t first = i;
    bool in = false;
    for (; i < pattern_.size() && (i == first || pattern_[i] != ']');) {
      const char low = pattern_[i];
      if (i + 2 < pattern_.size() && pattern_[i + 1] == '-' && pattern_[i + 2] != ']') {
        in = in || InRange(P, low, pattern_[i + 2], N);
        i += 3;
      } else {
        in = in || Same(P, low, N);
        ++i;
      }
    }
    if (i >= pattern_.size()) {
      Next = P;
      return false;
    }
    Next = i + 1;
    return in != negated;
  }

  bool InRange(size_t P, char Low, char High, size_t N) const {
    const auto within = [Low, High](char C) { return C >= Low && C <= High; };
    const char c = path_[N];
    if (within(c)) return true;
    if (P < patternName_ || N < pathName_) return false;
    const char other = (c >= 'a' && c <= 'z')   ? static_cast<char>(c - 'a' + 'A')
                       : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a')
                                                : c;
    return within(other);
  }

  const std::string& pattern_;
  const std::string& path_;
  size_t patternName_;  // where the pattern's last component starts
  size_t pathName_;     // where the file's own name starts
};

}  // namespace

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

bool StandardOutputIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

int TerminalWidth() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

bool HasTerminal() {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  ::close(tty);
  return true;
}

bool AskTerminal(const std::string& Prompt, std::string& Answer) {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  bool ok = ::write(tty, Prompt.data(), Prompt.size()) == static_cast<ssize_t>(Prompt.size());
  Answer.clear();
  char c = 0;
  ssize_t n = 0;
  while (ok && ((n = ::read(tty, &c, 1)) == 1 || (n < 0 && errno == EINTR))) {
    if (n == 1 && c == '\n') break;
    if (n == 1) Answer += c;
  }
  ::close(tty);
  return ok && n != 0;
}

void CatchInterrupt(void (*Handler)(int)) {
  struct sigaction action {};
  action.sa_handler = Handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal takes its default course
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A terminal closed under a run, or a service manager's reload.
  ::sigaction(SIGHUP, &action, nullptr);
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

void UseBinaryStandardStreams() {}

bool MatchPathPattern(const std::string& Pattern, const std::string& Path) {
  return PathMatch(Pattern, Path).Run();
}

}  // namespace kelmora::platform

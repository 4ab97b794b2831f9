#include <fcntl.h>
#include <fnmatch.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "kelmora/console.h"

namespace kelmora::platform {

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
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
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

void UseBinaryStandardStreams() {}

bool MatchPathPattern(const std::string& Pattern, const std::string& Path) {
  return ::fnmatch(Pattern.c_str(), Path.c_str(), 0) == 0;
}

}  // namespace kelmora::platform

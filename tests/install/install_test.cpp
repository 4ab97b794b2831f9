// The install into a scratch prefix and the Debian package, checked as a
// user's system would see them: files in their places, the desktop entry and
// metainfo validated, and the unpacked programs run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

struct ShellResult {
  int Status = -1;
  std::string Out;  // standard output and error together
};

// Runs a shell command; the words in it must be quoted by the caller.
ShellResult Shell(const std::string& Command) {
  std::FILE* pipe = ::popen((Command + " 2>&1").c_str(), "r");
  if (!pipe) throw std::runtime_error("popen");
  ShellResult r;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.Out.append(buffer, n);
  const int status = ::pclose(pipe);
  r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Quote(const std::string& Word) {
  std::string out = "'";
  for (const char c : Word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A backup of a small tree with the given program, restored with it again.
void RoundTrip(const std::string& Cli, const test::TempDir& Dir) {
  test::WriteFile(Dir / "src/a.txt", test::TextBytes(50000));
  test::WriteFile(Dir / "src/sub/b.bin", test::RandomBytes(30000));
  const ShellResult backup =
      Shell(Quote(Cli) + " backup -q " + Quote(Dir / "x.bkp") + " " + Quote(Dir / "src"));
  ASSERT_EQ(backup.Status, 0) << backup.Out;
  const ShellResult restore = Shell(Quote(Cli) + " restore -q --relative " + Quote(Dir / "x.bkp") +
                                    " " + Quote(Dir / "out"));
  ASSERT_EQ(restore.Status, 0) << restore.Out;
  EXPECT_EQ(test::ReadFile(Dir / "out/a.txt"), test::ReadFile(Dir / "src/a.txt"));
  EXPECT_EQ(test::ReadFile(Dir / "out/sub/b.bin"), test::ReadFile(Dir / "src/sub/b.bin"));
}

// What both the install and the package must hold below their prefix.
void ExpectInstalledFiles(const std::string& Prefix) {
  std::vector<std::string> expected{
      "bin/kelmora-cli",
      "share/man/man1/kelmora-cli.1.gz",
      "share/bash-completion/completions/kelmora-cli",
      "share/doc/kelmora/copyright",
  };
  if (KELMORA_GUI) {
    for (const char* size : {"16x16", "32x32", "48x48", "64x64", "128x128", "256x256"})
      expected.push_back(std::string("share/icons/hicolor/") + size + "/apps/kelmora.png");
    for (const char* file :
         {"bin/kelmora", "share/kelmora/language/English.ini", "share/kelmora/language/Russian.ini",
          "share/applications/org.kelmora.Kelmora.desktop",
          "share/metainfo/org.kelmora.Kelmora.metainfo.xml", "share/man/man1/kelmora.1.gz",
          "share/icons/hicolor/scalable/apps/kelmora.svg"})
      expected.push_back(file);
  }
  for (const std::string& file : expected)
    EXPECT_TRUE(fs::is_regular_file(Prefix + "/" + file)) << file;

  if (!KELMORA_GUI) return;
  const ShellResult desktop = Shell(
      "desktop-file-validate " + Quote(Prefix + "/share/applications/org.kelmora.Kelmora.desktop"));
  EXPECT_EQ(desktop.Status, 0) << desktop.Out;
  EXPECT_EQ(desktop.Out, "");
  const ShellResult metainfo =
      Shell("appstreamcli validate --no-net " +
            Quote(Prefix + "/share/metainfo/org.kelmora.Kelmora.metainfo.xml"));
  EXPECT_EQ(metainfo.Status, 0) << metainfo.Out;
  // The window's icon names an installed icon.
  const std::string entry =
      test::ReadFile(Prefix + "/share/applications/org.kelmora.Kelmora.desktop");
  EXPECT_NE(entry.find("\nIcon=kelmora\n"), std::string::npos);
  EXPECT_NE(entry.find("\nExec=kelmora\n"), std::string::npos);
}

TEST(Install, IntoAScratchPrefix) {
  test::TempDir dir;
  const std::string prefix = dir / "prefix";
  const ShellResult install = Shell(Quote(KELMORA_CMAKE) + " --install " +
                                    Quote(KELMORA_BUILD_DIR) + " --prefix " + Quote(prefix));
  ASSERT_EQ(install.Status, 0) << install.Out;
  ExpectInstalledFiles(prefix);
  // Nothing is put outside the prefix (an absolute destination would be).
  size_t files = 0;
  for (size_t at = 0, end; (end = install.Out.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = install.Out.substr(at, end - at);
    for (const std::string verb : {"-- Installing: ", "-- Up-to-date: "}) {
      if (line.rfind(verb, 0) != 0) continue;
      ++files;
      EXPECT_EQ(line.compare(verb.size(), prefix.size() + 1, prefix + "/"), 0) << line;
    }
  }
  EXPECT_GE(files, 4u) << install.Out;

  const ShellResult version = Shell(Quote(prefix + "/bin/kelmora-cli") + " --version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, std::string("kelmora-cli ") + KELMORA_VERSION + "\n");
  // The manual page is one man can read, and it lists the exit statuses.
  const ShellResult page = Shell("gzip -dc " + Quote(prefix + "/share/man/man1/kelmora-cli.1.gz"));
  EXPECT_EQ(page.Status, 0);
  EXPECT_NE(page.Out.find(".SH EXIT STATUS"), std::string::npos);
}

TEST(Install, DebianPackageUnpacksAndRuns) {
  test::TempDir dir;
  const ShellResult pack =
      Shell("cd " + Quote(dir.path()) + " && " + Quote(KELMORA_CPACK) + " --config " +
            Quote(std::string(KELMORA_BUILD_DIR) + "/CPackConfig.cmake") + " -G DEB -B " +
            Quote(dir / "package"));
  ASSERT_EQ(pack.Status, 0) << pack.Out;
  std::string deb;
  for (const auto& e : fs::directory_iterator(dir / "package"))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty()) << pack.Out;

  // Its dependencies were read off the programs' libraries.
  const ShellResult depends = Shell("dpkg-deb -f " + Quote(deb) + " Depends");
  EXPECT_EQ(depends.Status, 0);
  EXPECT_NE(depends.Out.find("libc6"), std::string::npos) << depends.Out;
  EXPECT_NE(depends.Out.find("zlib1g"), std::string::npos) << depends.Out;
  if (KELMORA_GUI) {
    EXPECT_NE(depends.Out.find("libqt6widgets6"), std::string::npos) << depends.Out;
  }

  const std::string root = dir / "root";
  const ShellResult unpack = Shell("dpkg-deb -x " + Quote(deb) + " " + Quote(root));
  ASSERT_EQ(unpack.Status, 0) << unpack.Out;
  ExpectInstalledFiles(root + "/usr");
  const ShellResult version = Shell(Quote(root + "/usr/bin/kelmora-cli") + " --version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, std::string("kelmora-cli ") + KELMORA_VERSION + "\n");
  RoundTrip(root + "/usr/bin/kelmora-cli", dir);
}

}  // namespace
}  // namespace kelmora

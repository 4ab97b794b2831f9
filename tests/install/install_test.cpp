// SPDX-License-Identifier: GPL-3.0-or-later
//
// The install into a scratch prefix and the Debian package, checked as a
// user's system would see them: files in their places, the desktop entry and
// metainfo validated, and the unpacked programs run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>

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
      "share/doc/kelmora-cli/copyright",
      "share/doc/kelmora-cli/changelog.gz",
  };
  if (KELMORA_GUI) {
    expected.push_back("share/doc/kelmora/copyright");
    expected.push_back("share/doc/kelmora/changelog.gz");
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
  // The licence, in Debian's machine-readable form.
  const std::string copyright = test::ReadFile(Prefix + "/share/doc/kelmora-cli/copyright");
  EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/"
                            "copyright-format/1.0/\n",
                            0),
            0u);
  EXPECT_NE(copyright.find("\nLicense: GPL-3+\n"), std::string::npos) << copyright;
  EXPECT_NE(copyright.find("/usr/share/common-licenses/GPL-3"), std::string::npos);

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

// Paths of the regular files and links a package holds, "./usr/..." form.
std::vector<std::string> PackageFiles(const std::string& Deb) {
  const ShellResult listing = Shell("dpkg-deb --fsys-tarfile " + Quote(Deb) + " | tar -t");
  std::vector<std::string> files;
  for (size_t at = 0, end; (end = listing.Out.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string path = listing.Out.substr(at, end - at);
    if (!path.empty() && path.back() != '/') files.push_back(path);
  }
  return files;
}

// Built as Debian builds its packages: position-independent, relocations
// read-only and bound at start-up, the stack protector and fortified C
// library calls in use, and no compiler notes in .comment.
void ExpectHardened(const std::string& Program) {
  SCOPED_TRACE(Program);
  const ShellResult dynamic = Shell("readelf -dW " + Quote(Program));
  ASSERT_EQ(dynamic.Status, 0) << dynamic.Out;
  EXPECT_NE(dynamic.Out.find("BIND_NOW"), std::string::npos) << dynamic.Out;
  EXPECT_NE(dynamic.Out.find("PIE"), std::string::npos) << dynamic.Out;
  const ShellResult segments = Shell("readelf -lW " + Quote(Program));
  EXPECT_NE(segments.Out.find("GNU_RELRO"), std::string::npos);
  const ShellResult sections = Shell("readelf -SW " + Quote(Program));
  EXPECT_EQ(sections.Out.find(".comment"), std::string::npos);
  const ShellResult symbols = Shell("readelf --dyn-syms -W " + Quote(Program));
  EXPECT_NE(symbols.Out.find("__stack_chk_fail"), std::string::npos);
  EXPECT_NE(symbols.Out.find("printf_chk"), std::string::npos);
}

// One build gives kelmora-cli (no Qt) and, with the window, kelmora, which
// needs that very kelmora-cli; no file is in both, so both install side by
// side.
TEST(Install, DebianPackagesUnpackAndRun) {
  test::TempDir dir;
  const ShellResult pack =
      Shell("cd " + Quote(dir.path()) + " && " + Quote(KELMORA_CPACK) + " --config " +
            Quote(std::string(KELMORA_BUILD_DIR) + "/CPackConfig.cmake") + " -G DEB -B " +
            Quote(dir / "package"));
  ASSERT_EQ(pack.Status, 0) << pack.Out;
  std::vector<std::string> debs;
  for (const auto& e : fs::directory_iterator(dir / "package"))
    if (e.path().extension() == ".deb") debs.push_back(e.path().filename());
  std::sort(debs.begin(), debs.end());
  const std::string cliDeb = std::string("kelmora-cli_") + KELMORA_VERSION + "_amd64.deb";
  const std::string guiDeb = std::string("kelmora_") + KELMORA_VERSION + "_amd64.deb";
  const std::vector<std::string> expected =
      KELMORA_GUI ? std::vector<std::string>{cliDeb, guiDeb} : std::vector<std::string>{cliDeb};
  EXPECT_EQ(debs, expected) << pack.Out;

  // Their dependencies were read off the programs' libraries.
  const ShellResult cliDepends =
      Shell("dpkg-deb -f " + Quote(dir / "package/" + cliDeb) + " Package Depends");
  EXPECT_EQ(cliDepends.Status, 0);
  EXPECT_NE(cliDepends.Out.find("Package: kelmora-cli\n"), std::string::npos) << cliDepends.Out;
  EXPECT_NE(cliDepends.Out.find("libc6"), std::string::npos) << cliDepends.Out;
  EXPECT_NE(cliDepends.Out.find("zlib1g"), std::string::npos) << cliDepends.Out;
  EXPECT_EQ(cliDepends.Out.find("qt"), std::string::npos) << "a server needs no Qt";
  std::vector<std::string> cliFiles = PackageFiles(dir / "package/" + cliDeb);
  EXPECT_NE(std::find(cliFiles.begin(), cliFiles.end(), "./usr/bin/kelmora-cli"), cliFiles.end());
  EXPECT_EQ(std::find(cliFiles.begin(), cliFiles.end(), "./usr/bin/kelmora"), cliFiles.end());
  if (KELMORA_GUI) {
    const ShellResult guiDepends =
        Shell("dpkg-deb -f " + Quote(dir / "package/" + guiDeb) + " Package Depends");
    EXPECT_NE(guiDepends.Out.find("Package: kelmora\n"), std::string::npos) << guiDepends.Out;
    EXPECT_NE(guiDepends.Out.find("libqt6widgets6"), std::string::npos) << guiDepends.Out;
    EXPECT_NE(guiDepends.Out.find(std::string("kelmora-cli (= ") + KELMORA_VERSION + ")"),
              std::string::npos)
        << guiDepends.Out;
    std::vector<std::string> guiFiles = PackageFiles(dir / "package/" + guiDeb);
    std::sort(cliFiles.begin(), cliFiles.end());
    std::sort(guiFiles.begin(), guiFiles.end());
    std::vector<std::string> both;
    std::set_intersection(cliFiles.begin(), cliFiles.end(), guiFiles.begin(), guiFiles.end(),
                          std::back_inserter(both));
    EXPECT_TRUE(both.empty()) << both.front();
  }

  const std::string root = dir / "root";
  for (const std::string& deb : debs) {
    const ShellResult unpack =
        Shell("dpkg-deb -x " + Quote(dir / "package/" + deb) + " " + Quote(root));
    ASSERT_EQ(unpack.Status, 0) << unpack.Out;
  }
  ExpectInstalledFiles(root + "/usr");
  const ShellResult version = Shell(Quote(root + "/usr/bin/kelmora-cli") + " --version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, std::string("kelmora-cli ") + KELMORA_VERSION + "\n");
  RoundTrip(root + "/usr/bin/kelmora-cli", dir);
  if (KELMORA_HARDENED) {
    ExpectHardened(root + "/usr/bin/kelmora-cli");
    if (KELMORA_GUI) ExpectHardened(root + "/usr/bin/kelmora");
  }
}

}  // namespace
}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later

#include "trees.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kelmora::durability {

namespace fs = std::filesystem;

bool ReadWhole(const std::string& Path, std::string& Data) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) return false;
  Data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

Tree ReadTree(const std::string& Root, std::map<std::string, char>* Others) {
  Tree files;
  std::error_code ec;
  if (!fs::is_directory(Root, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(Root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string relative = fs::relative(it->path(), Root).string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_directory(status)) continue;
    if (!fs::is_regular_file(status)) {
      if (Others != nullptr) (*Others)[relative] = 'o';
      continue;
    }
    FileState& file = files[relative];
    if (!ReadWhole(it->path().string(), file.Data))
      throw std::runtime_error("cannot read " + it->path().string());
    struct stat st;
    if (::stat(it->path().c_str(), &st) == 0) file.Mtime = st.st_mtim.tv_sec;
  }
  return files;
}

void MakeFolder(const std::string& Path) {
  std::error_code ec;
  fs::create_directories(Path, ec);
  if (ec) throw std::runtime_error("cannot create " + Path + ": " + ec.message());
}

void WriteFile(const std::string& Path, const std::string& Data, int64_t Mtime) {
  MakeFolder(fs::path(Path).parent_path().string());
  {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out.write(Data.data(), static_cast<std::streamsize>(Data.size()));
    if (!out) throw std::runtime_error("cannot write " + Path);
  }
  const timespec times[2] = {{Mtime, 0}, {Mtime, 0}};
  if (::utimensat(AT_FDCWD, Path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot stamp " + Path);
}

void WriteTree(const std::string& Root, const Tree& Files) {
  MakeFolder(Root);
  for (const auto& [relative, file] : Files)
    WriteFile(Root + "/" + relative, file.Data, file.Mtime);
}

void CopyTree(const std::string& From, const std::string& To) {
  MakeFolder(To);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(From, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path target = fs::path(To) / fs::relative(it->path(), From);
    if (it->is_directory()) {
      MakeFolder(target.string());
    } else if (it->is_regular_file()) {
      std::string data;
      struct stat st;
      if (!ReadWhole(it->path().string(), data) || ::stat(it->path().c_str(), &st) != 0)
        throw std::runtime_error("cannot copy " + it->path().string());
      WriteFile(target.string(), data, st.st_mtim.tv_sec);
    }
  }
  if (ec) throw std::runtime_error("cannot copy " + From + ": " + ec.message());
}

void RemoveTree(const std::string& Path) {
  std::error_code ec;
  fs::remove_all(Path, ec);
}

std::string MakeBytes(std::mt19937_64& Random, size_t Size, bool Text) {
  std::string bytes(Size, '\0');
  static constexpr char kWords[] = "backup restore volume archive piece folder stamp ";
  for (size_t i = 0; i < Size; ++i) {
    const uint64_t r = Random();
    bytes[i] = Text ? kWords[(r >> 7) % (sizeof kWords - 1)] : static_cast<char>(r);
  }
  return bytes;
}

std::string LeafOf(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

}  // namespace kelmora::durability

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Trees of files made from fuzzed bytes, and the backups of them, for the
// targets that back up and restore real files.
//
// The tree's pieces (see Cut) each hold one file: a byte that picks its
// time stamp, its name up to a NUL, and its contents, which unfold. A name
// is cut into components; empty ones, "." and ".." go, folders may not be
// hidden (a backup passes hidden folders by), a file may not carry the name
// of one of Kelmora's own working files (a backup never takes those),
// components are kept to a length the file system takes. A file whose place is taken by a folder of
// an earlier one, or the other way round, is left out.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "fuzz/fuzz_support.h"
#include "platform/working_files.h"

namespace kelmora::fuzz {

struct TreeFile {
  std::string name;  // relative to the tree's root
  std::string bytes;
};

inline std::string CleanName(const std::string& Raw) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= Raw.size()) {
    size_t end = Raw.find('/', start);
    if (end == std::string::npos) end = Raw.size();
    std::string part = Raw.substr(start, std::min<size_t>(end - start, 120));
    start = end + 1;
    if (part.empty() || part == "." || part == "..") continue;
    parts.push_back(part);
  }
  std::string name;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i][0] == '.' &&
        (i + 1 < parts.size() || kelmora::platform::IsWorkingFileName(parts[i])))
      parts[i].insert(0, "d");
    name += (i ? "/" : "") + parts[i];
  }
  return name.size() > 1800 ? std::string() : name;
}

// Writes the files under Root with their stamps and returns those written,
// in the order of the input. A later file of the same name replaces an
// earlier one.
inline std::vector<TreeFile> MakeTree(const std::string& Root,
                                      const std::vector<std::string>& Pieces, size_t MaxTotal) {
  std::vector<TreeFile> files;
  size_t total = 0;
  for (const std::string& piece : Pieces) {
    if (piece.empty()) continue;
    const size_t nul = piece.find('\0', 1);
    if (nul == std::string::npos) continue;
    const std::string name = CleanName(piece.substr(1, nul - 1));
    if (name.empty()) continue;
    const auto* rest = reinterpret_cast<const uint8_t*>(piece.data()) + nul + 1;
    // Literal bytes may carry the total past its bound; repeats stop there.
    std::string bytes =
        Unfold(rest, piece.size() - nul - 1, total < MaxTotal ? MaxTotal - total : 0);
    const std::string path = Root + "/" + name;
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (ec || fs::is_directory(path)) continue;
    WriteBytes(path, bytes);
    // Odd seconds, some 37 days apart from 1990 on: the 2-second packing
    // and every month get their turn.
    const time_t when = 631152001 + static_cast<time_t>(static_cast<uint8_t>(piece[0])) * 3196811;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    std::erase_if(files, [&](const TreeFile& f) { return f.name == name; });
    total += bytes.size();
    files.push_back({name, std::move(bytes)});
  }
  return files;
}

// A backup as a fuzzed byte asks for it: compression level (bits 0-1) and
// file-ID list (bit 2); volumes of MaxSize bytes, or one when it is 0.
inline void SetUpBackup(TBackupFile& Engine, const std::string& Title, uint8_t Flags,
                        int32_t MaxSize) {
  Engine.BackupTitle = Title;
  Engine.CompressionLevel = static_cast<TCompressionLevel>(Flags & 3);
  Engine.SaveFileID = (Flags & 4) != 0;
  Engine.MaxSize = MaxSize;
}

}  // namespace kelmora::fuzz

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Folder trees for the durability harnesses: read whole into memory,
// written, copied with their times, compared.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>

namespace kelmora::durability {

struct FileState {
  std::string Data;
  int64_t Mtime = 0;  // seconds
  bool operator==(const FileState&) const = default;
};
// Relative path ("a/b.txt") -> file; folders appear only through their files.
using Tree = std::map<std::string, FileState>;

bool ReadWhole(const std::string& Path, std::string& Data);
// Every regular file below Root; empty when Root is missing. Names of
// anything else (links, FIFOs) go to Others when it is given.
Tree ReadTree(const std::string& Root, std::map<std::string, char>* Others = nullptr);
// Writes Data to Path, parents made, with the modification time Mtime.
void WriteFile(const std::string& Path, const std::string& Data, int64_t Mtime);
void WriteTree(const std::string& Root, const Tree& Files);
// A copy of From's folders and regular files at To, times kept.
void CopyTree(const std::string& From, const std::string& To);
void RemoveTree(const std::string& Path);
void MakeFolder(const std::string& Path);
// Size bytes: random ones, or with Text a mixture that compresses.
std::string MakeBytes(std::mt19937_64& Random, size_t Size, bool Text);
// The leaf of a relative or absolute path.
std::string LeafOf(const std::string& Path);

}  // namespace kelmora::durability

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What Kelmora's working files are called, on every system.
#include "platform/working_files.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/names.h"

namespace kelmora::platform {

namespace {

constexpr std::string_view kTemporaryStart = ".kelmora-";
constexpr std::string_view kTemporaryEnd = ".part";
constexpr size_t kTemporaryLetters = 10;
constexpr std::string_view kLockEnd = ".kelmora-lock";
constexpr std::string_view kJournalEnd = ".kelmora-commit";
// Beyond this an archive's own name is shortened in the names of its lock
// and its record, which must stay within the 255 bytes a name may have.
constexpr size_t kLongestNameInLock = 200;

bool EndsWith(std::string_view Text, std::string_view End) {
  return Text.size() >= End.size() && Text.substr(Text.size() - End.size()) == End;
}

// ".NAME" + End beside Archive.
std::string HiddenPathBeside(const std::string& Archive, std::string_view End) {
  const size_t end = Archive.find_last_of(kFolderEnds);
  const std::string folder = end == std::string::npos ? std::string() : Archive.substr(0, end + 1);
  std::string leaf = end == std::string::npos ? Archive : Archive.substr(end + 1);
  // Names compare as the system compares them, so "X.BKP" and "x.bkp" on
  // Windows share one lock as they share one file.
  leaf = ComparableName(std::move(leaf));
  if (leaf.size() > kLongestNameInLock) {
    // FNV-1a: the same long name gives the same lock in every run.
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : leaf) hash = (hash ^ c) * 1099511628211ull;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    leaf = leaf.substr(0, kLongestNameInLock - 17) + "~" + digits;
  }
  return folder + "." + leaf + std::string(End);
}

}  // namespace

bool IsTemporaryName(std::string_view Leaf) {
  if (Leaf.size() != kTemporaryStart.size() + kTemporaryLetters + kTemporaryEnd.size() ||
      Leaf.substr(0, kTemporaryStart.size()) != kTemporaryStart || !EndsWith(Leaf, kTemporaryEnd))
    return false;
  for (const char c : Leaf.substr(kTemporaryStart.size(), kTemporaryLetters))
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

bool IsLockName(std::string_view Leaf) {
  return Leaf.size() > kLockEnd.size() + 1 && Leaf[0] == '.' && EndsWith(Leaf, kLockEnd);
}

bool IsJournalName(std::string_view Leaf) {
  return Leaf.size() > kJournalEnd.size() + 1 && Leaf[0] == '.' && EndsWith(Leaf, kJournalEnd);
}

std::string LockPathOf(const std::string& Archive) {
  return HiddenPathBeside(Archive, kLockEnd);
}

std::string JournalPathOf(const std::string& Archive) {
  return HiddenPathBeside(Archive, kJournalEnd);
}

RunLock::RunLock(RunLock&& Other) noexcept : handle_(Other.handle_), path_(std::move(Other.path_)) {
  Other.handle_ = kNoHandle;
}

RunLock& RunLock::operator=(RunLock&& Other) noexcept {
  if (this != &Other) {
    Release();
    handle_ = Other.handle_;
    path_ = std::move(Other.path_);
    Other.handle_ = kNoHandle;
  }
  return *this;
}

}  // namespace kelmora::platform

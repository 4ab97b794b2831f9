// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the scenarios share: the names of Kelmora's working files as the
// harness knows them, a folder's listing, stamps and the runs that make a
// scenario's archives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scenarios.h"

namespace kelmora::durability {

// Kelmora's temporary files (".kelmora-XXXXXXXXXX.part"), the lock beside
// an archive and the record of an unfinished replacement.
bool IsTemporary(const std::string& Leaf);
bool IsLock(const std::string& Leaf);
bool IsRecord(const std::string& Leaf);
// The names in Folder, "." and ".." left out; empty when it is missing.
std::vector<std::string> Listing(const std::string& Folder);
// A time stamp the archive keeps exactly: even seconds, in 2021.
int64_t StampAt(int Index);
// Runs Argv, which must succeed (else an exception with its message); its
// standard output.
std::string Run(const std::vector<std::string>& Argv, const std::string& Scratch);
// What a run left around an archive in Root/arc: nothing beside that
// folder, in it only the archive's own files (IsArchiveFile), the user's
// Others unchanged, and Kelmora's working files, which are counted in V.
void LookAround(const std::string& Root, const Tree& Others,
                const std::function<bool(const std::string&)>& IsArchiveFile, Verdict& V);

}  // namespace kelmora::durability

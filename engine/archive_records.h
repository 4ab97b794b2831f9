// SPDX-License-Identifier: GPL-3.0-or-later
//
// An archive's entries with where each record begins, read from the
// records themselves: what a companion made for an existing archive
// indexes (engine/archive_list.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kelmora/backup_file.h"

namespace kelmora {

// Entry as a listing gives it, Offset where its record (its name's length)
// begins in its volume, FileList for the file-ID list's own entry.
using RecordEvent = std::function<void(const TArchiveEntry& Entry, int64_t Offset, bool FileList)>;

// Every entry of the file archive ArchiveName, the file-ID list's among
// them, never from a companion's index. Throws as ListArchive does. The
// caller holds the archive's claim (engine/archive_claim.h): this takes none.
bool ListArchiveRecords(TBackupFile& Engine, const std::string& ArchiveName,
                        const RecordEvent& Each);

}  // namespace kelmora

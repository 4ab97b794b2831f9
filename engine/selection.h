// Turns source specifications into the ordered list of files a backup
// stores.
#pragma once

#include <string>

#include "engine/backup_file.h"

namespace kelmora {

// Appends to Selected the absolute paths that the specifications in Sources
// select, in archive order and without duplicates, leaving out the archive
// itself and, in incremental mode, files whose archive attribute is clear.
void SelectSourceFiles(const TStringList& Sources, const std::string& ArchiveName,
                       TBackupMode Mode, TStringList& Selected);

}  // namespace kelmora

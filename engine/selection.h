// Turns source specifications into the ordered list of files a backup
// stores.
#pragma once

#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

// Appends to Selected the absolute paths that the specifications in Sources
// select, in archive order and without duplicates, leaving out every file
// that is one of Archive (the archive and the older archive's volumes)
// whatever path reaches it (by its name, and by device and inode where the
// search tells them: a link to the archive is the archive), Kelmora's own
// working files and, in incremental mode, files whose archive attribute is
// clear. A file that is merely named like a volume is the user's and is
// selected. With Measures, it holds for every entry of Selected what the
// search saw of it (unknown for the entries Selected held before). A
// folder the system failed to list whole (a disk error, not a missing or
// closed folder) goes to Unlisted, the first one only: a backup must not
// pass without it.
struct UnlistedFolder {
  std::string Folder;
  int Error = 0;  // 0: every folder was listed
};
void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected,
                       std::vector<platform::FileMeasure>* Measures = nullptr,
                       UnlistedFolder* Unlisted = nullptr);
// The same with the archive alone ("" or the stream's name: none).
void SelectSourceFiles(const TStringList& Sources, const std::string& ArchiveName, TBackupMode Mode,
                       TStringList& Selected,
                       std::vector<platform::FileMeasure>* Measures = nullptr,
                       UnlistedFolder* Unlisted = nullptr);

// True when one of Sources names the file Path by its own name, neither
// through a wildcard nor with the sub-directory switch.
bool NamesFile(const TStringList& Sources, const std::string& Path);

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What stands at an archive's name before a backup replaces it: the older
// archive, and which files named like its later volumes provably are its.
//
// The layout carries no archive identity, so a file named like a later
// volume (x.002 beside x.bkp) may be the user's own file or another
// archive's volume (docs.2025 and docs.2026 share docs.002). Only the
// older archive's own records can tell: its later volumes count as its
// when its whole chain reads from the first volume, every volume-change
// entry ending its volume and naming the next number, every later volume
// beginning with a data section, the last one ending in the end marker,
// and the file entries met agreeing with the header's count. Any other
// file of such a name is never replaced, removed or left out of a backup.
// Records only are read: chunks are stepped over, never inflated.
#pragma once

#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "platform/target_file.h"

namespace kelmora {

class OlderVolumeReader;

class OlderArchive {
 public:
  // Reads the archive whose first volume is First (its links resolved
  // already); holds nothing when no regular file is there.
  explicit OlderArchive(const std::string& First);

  // The files a backup into First must not store: First and every later
  // volume that is the older archive's.
  TStringList Files() const;
  // Whether the file now at Path is volume Number of the older archive,
  // still the very file it was when it was read.
  bool Owns(unsigned Number, const std::string& Path) const;
  // The volumes that are provably its: 0 when there is no older file.
  unsigned Volumes() const { return static_cast<unsigned>(volumes_.size()); }
  // When the disk failed to give the older archive (not when it ended or
  // held something else): the error number, and the volume it concerns.
  int ReadError() const { return readError_; }
  const std::string& UnreadVolume() const { return unreadPath_; }

 private:
  struct Volume {
    std::string Path;
    platform::FileIdentity Identity;
  };
  // Follows the chain from the first volume with Reader; false where it
  // cannot.
  bool ReadChain(const std::string& First, OlderVolumeReader& Reader);

  std::string first_;
  std::vector<Volume> volumes_;  // volume 1 first
  int readError_ = 0;
  std::string unreadPath_;  // the volume the chain went on to last
};

// The first file (of any kind) beside First that bears the name of one of
// its later volumes (2 to 999) and is not Older's volume of that number;
// "" when there is none. A split backup into First would have to replace it.
std::string FindForeignVolume(const std::string& First, const OlderArchive& Older);

}  // namespace kelmora

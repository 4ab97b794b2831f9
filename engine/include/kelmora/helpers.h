// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the front ends need besides TBackupFile: the volume-size limits, the
// names of an archive's volumes, packed time stamps, stored names and the
// files a backup would select. Everything the engine holds beyond these
// and TBackupFile is its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <string>

#include "kelmora/backup_file.h"

namespace kelmora {

// ---- volumes

// The smallest MaxSize a backup takes besides 0 (one volume of any size):
// a fresh volume must have room for its section signature and a whole
// chunk of 16,384 bytes with its record.
inline constexpr int64_t kSmallestVolumeSize = 16384 + 100 + 4 + 1;
// MaxSize is an int32.
inline constexpr int64_t kLargestVolumeSize = INT32_MAX;
// True for 0 and for every size from the smallest to the largest.
inline constexpr bool IsWorkableVolumeSize(int64_t Bytes) {
  return Bytes == 0 || (Bytes >= kSmallestVolumeSize && Bytes <= kLargestVolumeSize);
}

// The file name of volume Volume of the archive whose first volume is
// First: First itself for volume 1, then the extension replaced by the
// volume's number in three digits (backup.bkp -> backup.002). When First
// is a symbolic link, later volumes lie beside the file it leads to
// (~/b.bkp -> /mnt/disk/x.bkp: /mnt/disk/x.002), where a backup writes them.
std::string VolumeFileName(const std::string& First, unsigned Volume);

// The companion file of the archive whose first volume is ArchiveName: its
// whole name with ".kx" added (docs.bkp -> docs.bkp.kx), so that docs.2025
// and docs.2026, whose later volumes share their names, never share one.
// Beside the file a symbolic link of that name leads to, as the volumes.
std::string CompanionFileName(const std::string& ArchiveName);

// What stands at an archive's name instead of a readable archive, for a
// front end to say in its own words.
enum TArchiveObstacle : uint8_t {
  aoNone,          // it may be read as an archive
  aoMissing,       // nothing is there
  aoFolder,        // a folder
  aoNotRegular,    // a device, a FIFO or a socket
  aoNoPermission,  // it, or a folder on its path, may not be read
  aoUnreadable,    // the system fails to give it for another reason
  aoEmpty,         // an empty file
  aoForeign,       // a file that does not begin as an archive does
};

struct TArchiveCheck {
  TArchiveObstacle Obstacle = aoNone;
  // Code 3 (Cannot read archive) for a path that is missing, a folder, no
  // regular file, or may not be read (with the system's reason); code 5
  // (Invalid archive type) for an empty or foreign file; code 0 with
  // aoNone.
  TFailure Failure;
};

// What stands in the way of reading ArchiveName as an archive, found
// before any run. Nothing (aoNone) when it may be read as one, or when an
// unfinished replacement (below) is to put it in place; damage further on
// is a run's to find.
TArchiveCheck CheckArchive(const std::string& ArchiveName);
// CheckArchive's failure record alone.
TFailure CheckArchiveFile(const std::string& ArchiveName);

// ---- archives in use

// The reason (TFailure::Reason) a run gives when another run holds its
// archive; it then changed nothing. A front end may say it in its own words.
inline constexpr const char* kArchiveInUse = "in use by another Kelmora run";
// Whether the record of an unfinished replacement of the archive's files
// lies beside it: a backup cut while it put its volumes in place. The next
// run on the archive completes it first, so even a first volume that is
// not there yet can be read.
bool HasUnfinishedReplacement(const std::string& ArchiveName);

// ---- packed time stamps (the FAT date and time of the local time)

// False when the stamp holds no valid date and time.
bool UnpackStamp(int32_t Stamp, std::time_t& Time);
// The local date and time a stamp holds, field by field, read without
// asking the system's time zone (which a listing would otherwise ask once
// for every entry); false when it holds no valid date and time.
struct TStampFields {
  int Year, Month, Day, Hour, Minute, Second;
};
bool SplitStamp(int32_t Stamp, TStampFields& Fields);

// ---- stored names

// A stored name without its root prefix, re-joined with "/"
// ("/home/ann/a.txt" and "c:\home\ann\a.txt" give "home/ann/a.txt"); ""
// for a name that is never restored.
std::string StoredPath(const std::string& Stored);
// The folder part of a path ("/a/b" for "/a/b/c.txt", "/" for "/c.txt");
// "" for a name without any folder.
std::string FolderPart(const std::string& Path);

// ---- messages

// What an exception from the engine says, with the system's reason when it
// carries one ("Stream read error: Input/output error").
std::string DescribeException(const std::exception& Error);

// ---- selection

// The files a backup of Sources into ArchiveName would store, in archive
// order (see TBackupFile::Backup for the forms a source takes).
TStringList SelectFiles(const TStringList& Sources, const std::string& ArchiveName,
                        TBackupMode Mode);

// True when Source holds the sub-directory switch as a backup reads it:
// "/s" at the very start as a word of its own, or after a blank or control
// character (" /s", " /sx"). "/srv/docs" and "/home/ann/snap" hold none.
bool HasSubdirectorySwitch(const std::string& Source);
// The specification that takes every file of Folder, with its
// sub-directories when SubDirectories is set: "/srv/docs/*.* /s".
std::string FolderSpecification(const std::string& Folder, bool SubDirectories);

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Putting a new archive's files in the older archive's place.
//
// A backup writes its volumes (and a companion file, where there is one)
// under temporary names beside their final ones and syncs them; only then
// do they take the older files' names. One rename is atomic, several are
// not: a power cut, a kill or a failed rename between two of them would
// leave a new first volume beside an older second one, which is neither
// archive. So a replacement of more than one file, or one that also
// removes files of the older archive, first writes a record of itself
// beside the archive (".NAME.kelmora-commit") and syncs it with the
// folder: every temporary with the name it takes and its size, and every
// older file to remove with its size. Then come the renames, the removals,
// a sync of the folder, the record's removal and a last sync. A
// replacement of one file by one is a single rename and needs no record.
//
// The next Kelmora command on that archive (backup, restore, test, list,
// the window's runs) completes a record it finds before anything else,
// under the archive's lock (engine/archive_claim.h): forward when every
// temporary is still there whole or already in its place; back, the
// temporaries removed, when none is in place yet; otherwise not at all,
// saying why. A record that is not whole was cut while it was written,
// before any rename: it is dropped, and the older archive stands.
//
// The record is text, names relative to the archive's folder, with %XX for
// every byte a field cannot hold:
//   kelmora-replacement 1
//   put SIZE TEMPORARY FINAL      one per file, in the order of the renames
//   remove SIZE NAME              one per older file to remove
//   end CHECKSUM                  FNV-1a of every byte before this line
// Only names of the archive's own files are ever put in place or removed
// from a record: the archive, its later volumes and its companion file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelmora {

namespace replacement {

// A line of a record: a temporary that takes Name's place, or (Temporary
// empty) an older file Name that goes; Size is the file's size in bytes.
struct Entry {
  std::string Temporary;
  std::string Name;
  int64_t Size = 0;
};
// The text of a record of Entries, their names relative to the archive's
// folder.
std::string FormatRecord(const std::vector<Entry>& Entries);
// False for a text that is not a whole record: cut, changed, or naming a
// file outside the folder or a temporary that is not one of Kelmora's.
bool ParseRecord(const std::string& Text, std::vector<Entry>& Entries);

}  // namespace replacement

class Replacement {
 public:
  // Archive: the path of the first volume, its links resolved. Every file
  // given lies in its folder.
  explicit Replacement(std::string Archive);

  // Temporary, written and synced, takes Final's place. Renamed in the
  // order given: the first volume comes last, so that a reader never meets
  // it before the volumes it leads to.
  void Put(std::string Temporary, std::string Final);
  // Older, a file of the older archive that no new file replaces, goes.
  void Remove(std::string Older);

  // Carries the replacement out: 0, or the error number with the file it
  // concerns in Failed.
  int Commit(std::string& Failed);
  // After Commit: whether the temporaries are out of the caller's hands,
  // put in place or left to the next command with the record. When not,
  // nothing was changed and removing them is the caller's.
  bool Begun() const { return begun_; }
  // After a failed Commit: the record stays for the next command.
  bool Pending() const { return pending_; }

 private:
  int WriteRecord(std::string& Failed);

  std::string archive_;
  std::string record_;
  std::vector<replacement::Entry> entries_;  // full paths; the puts first
  size_t puts_ = 0;
  bool begun_ = false;
  bool pending_ = false;
};

// What completing a record found and did.
struct Completion {
  enum class Kind {
    Nothing,  // no record
    Forward,  // the new files are in place
    Back,     // the older files stand, the record and temporaries are gone
    Failed,   // it could not be completed; nothing more was changed
  };
  Kind How = Kind::Nothing;
  std::string Subject;  // the file it concerns, when it failed
  std::string Why;      // why, in words, when it failed
};

// Completes the replacement of Archive's files (its first volume, links
// resolved) that a record beside it describes, if there is one. The caller
// holds the archive's lock alone.
Completion CompleteReplacement(const std::string& Archive);

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later
//
// Turns source specifications into the ordered list of files a backup
// stores.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/companion/sections.h"
#include "engine/selected_files.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

// What a backup with a companion records besides its files, found by the
// same walk (engine/selection_capture.cpp): every folder a "/s" walk
// enters, empty ones included, and with LinksAsLinks every symbolic link a
// pattern matches, whatever it leads to, in place of the file it leads to.
// A path that vanishes before it is looked at is left out.
class SelectionCapture {
 public:
  explicit SelectionCapture(bool LinksAsLinks) : linksAsLinks_(LinksAsLinks) {}
  bool LinksAsLinks() const { return linksAsLinks_; }
  // Folder as the walk spells it, with its separator at the end.
  void EnteredFolder(const std::string& Folder);
  void FoundLink(const std::string& Path);
  std::vector<companion::MetadataRecord>& Records() { return records_; }

 private:
  void Add(const std::string& Name, platform::PathKind Kind);
  bool linksAsLinks_;
  std::vector<companion::MetadataRecord> records_;
  std::unordered_set<std::string> seen_;
};

// Appends to Selected the absolute paths that the specifications in Sources
// select, in archive order and without duplicates, leaving out every file
// that is one of Archive (the archive and the older archive's volumes)
// whatever path reaches it (by its name, and by device and inode where the
// search tells them: a link to the archive is the archive), Kelmora's own
// working files and, in incremental mode, files whose archive attribute is
// clear. A file that is merely named like a volume is the user's and is
// selected. With Measures, it holds for every entry of Selected what the
// search saw of it (unknown for the entries Selected held before).
// With Options.Capture, folders and links are recorded there as well.
void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected,
                       std::vector<platform::FileMeasure>* Measures = nullptr);
// The same with the archive alone ("" or the stream's name: none).
void SelectSourceFiles(const TStringList& Sources, const std::string& ArchiveName, TBackupMode Mode,
                       TStringList& Selected,
                       std::vector<platform::FileMeasure>* Measures = nullptr);

// What a walk may be asked beyond the specifications.
struct SelectionOptions {
  // Hidden folders are entered too.
  bool IncludeHidden = false;
  // Called before every folder is listed; false ends the walk where it is
  // (a stop). A window processes its messages here, so a walk of a large
  // tree neither freezes it nor ignores its Stop.
  std::function<bool()> KeepGoing;
  // Folders and links recorded for the companion, when asked for.
  SelectionCapture* Capture = nullptr;
};

// Every folder the walk did not take, and why: nothing is left out in
// silence.
struct SelectionReport {
  // Folders that could not be read, each with the system's reason; the
  // subject ends in a separator. What they held is not selected.
  std::vector<TFailure> Unreadable;
  // Hidden folders left out, not entered.
  int32_t HiddenFolders = 0;
  // Specifications that name a folder and took none of its files although
  // it holds some out of reach (only in hidden folders), or that name a
  // folder without a pattern, which selects no file at all.
  std::vector<TFailure> Unselected;
  // KeepGoing ended the walk.
  bool Stopped = false;
};

// SelectSourceFiles, telling in Report what was not taken.
void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures,
                       const SelectionOptions& Options, SelectionReport& Report);

// The same into a compact list, as a backup of many files keeps it.
void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       SelectedFiles& Selected, std::vector<SelectedMeasure>* Measures,
                       const SelectionOptions& Options, SelectionReport& Report);

// Where the sub-directory switch starts in Source, or npos. "/" is also the
// path separator, so "/s" is the switch only where no path can hold it:
// after a blank or control character (" /s", " /sx"), or as a word of its
// own at the very start ("/s"). "/srv/data/*.*" therefore has no switch.
size_t FindSubdirectorySwitch(const std::string& Source);

// True when one of Sources names the file Path by its own name, neither
// through a wildcard nor with the sub-directory switch.
bool NamesFile(const TStringList& Sources, const std::string& Path);

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/selection.h"

#include <cstdint>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/working_files.h"

namespace kelmora {

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string Trim(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// Where the last component of a path or pattern begins, or npos: after
// the last separator (and on Windows after a drive's colon).
size_t LastFolderEnd(const std::string& Path) {
  return Path.find_last_of(platform::kFolderEnds);
}

// The folder of a pattern is everything up to and including its last
// separator; "" stands for the current directory.
void SplitPattern(const std::string& Pattern, std::string& Folder, std::string& Last) {
  const size_t slash = LastFolderEnd(Pattern);
  Folder = slash == std::string::npos ? std::string() : Pattern.substr(0, slash + 1);
  Last = slash == std::string::npos ? Pattern : Pattern.substr(slash + 1);
}

std::string NamePart(const std::string& Path) {
  const size_t slash = LastFolderEnd(Path);
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// The absolute, normalised form of a folder with one separator at its end,
// so a found name appended to it is already the file's absolute path.
// Where case does not tell names apart it is lower-cased, as every name
// the backup stores.
std::string AbsoluteFolder(const std::string& Folder) {
  std::string full = platform::ComparableName(platform::FullPath(Folder));
  if (full.empty() || !platform::IsPathSeparator(full.back())) full += platform::kPathSeparator;
  return full;
}

bool HasWildcard(const std::string& Name) {
  return Name.find_first_of("*?") != std::string::npos;
}

// One run of the expansion: every specification of a backup goes into the
// same list. The duplicate test must stay constant time however many files
// are selected, so a hash set holds the positions of the list's entries
// (not copies of them).
//
// One specification never yields the same path twice: every folder is
// reached by one path only (links to folders are not entered) and names
// within a folder are unique. So a file is only compared with what earlier
// specifications (or the caller) put into the list, and the set takes in a
// specification's files only when another one follows. A single
// specification, the usual case, costs no hashing at all.
template <typename List, typename Measure>
class Expansion {
 public:
  Expansion(const TStringList& Archive, TBackupMode Mode, List& Selected,
            std::vector<Measure>* Measures, const SelectionOptions& Options,
            SelectionReport& Report)
      : mode_(Mode),
        selected_(Selected),
        measures_(Measures),
        options_(Options),
        report_(Report),
        seen_(0, EntryHash{&Selected}, EntryEqual{&Selected}) {
    if (measures_ != nullptr) measures_->resize(selected_.size());
    for (const std::string& file : Archive) {
      // A stream backup has no archive file among the sources.
      if (file.empty() || file == kStreamArchiveName) continue;
      const std::string full = platform::ComparableName(platform::FullPath(file));
      archiveNames_.insert(platform::ComparableName(file));
      archiveNames_.insert(full);
      archiveLeaves_.insert(NamePart(full));
      platform::FileIdentity identity;
      if (platform::IdentityOfPath(file, identity))
        archiveIdentities_.insert({identity.Device, identity.Inode});
    }
  }

  void ExpandSpecification(const std::string& Specification) {
    const std::string source = platform::ComparableName(Specification);
    // Earlier entries become searchable now that more may follow.
    if (indexed_ < selected_.size()) seen_.reserve(selected_.size());
    for (; indexed_ < selected_.size(); ++indexed_) seen_.insert(indexed_);
    const size_t sw = FindSubdirectorySwitch(source);
    std::string folder, last;
    found_ = 0;
    hiddenBefore_ = report_.HiddenFolders;
    if (sw == std::string::npos) {
      SplitPattern(source, folder, last);
      AddFiles(AbsoluteFolder(folder), last);
      if (found_ == 0) CheckNamedFolder(source, last);
    } else {
      SplitPattern(Trim(source.substr(0, sw)), folder, last);
      ExpandTree(AbsoluteFolder(folder), last);
      if (found_ == 0) CheckWholeFolder(AbsoluteFolder(folder), last);
    }
  }

 private:
  struct EntryHash {
    const List* list;
    size_t operator()(size_t i) const { return std::hash<std::string>{}((*list)[i]); }
  };
  struct EntryEqual {
    const List* list;
    bool operator()(size_t a, size_t b) const { return (*list)[a] == (*list)[b]; }
  };

  // Sub-directories first, each complete before the next, then the
  // folder's own files. Folder and pattern travel apart, so a path that
  // happens to hold " /s" (a folder "a " above a folder "sub") is never
  // taken for a switch. One listing per folder serves both searches:
  // reading every folder twice would double the cost of the walk.
  void ExpandTree(const std::string& Folder, const std::string& Pattern) {
    if (!KeepGoing()) return;
    const platform::FolderListing listing =
        platform::ListFolder(Folder, Pattern, options_.IncludeHidden);
    NoteListing(Folder, listing);
    if (options_.Capture != nullptr) options_.Capture->EnteredFolder(Folder);
    for (const platform::SearchEntry& sub : listing.Directories) {
      if (report_.Stopped) return;
      ExpandTree(Folder + platform::ComparableName(sub.Name) + platform::kPathSeparator, Pattern);
    }
    AddListed(Folder, listing);
  }

  // ---- what the walk did not take

  bool KeepGoing() {
    if (report_.Stopped) return false;
    if (options_.KeepGoing && !options_.KeepGoing()) report_.Stopped = true;
    return !report_.Stopped;
  }

  void NoteListing(const std::string& Folder, const platform::FolderListing& Listing) {
    report_.HiddenFolders += static_cast<int32_t>(Listing.HiddenDirectories);
    // A link kept as a link is stored without being followed, so only a
    // walk that follows links is kept from a file it cannot reach.
    const int error = Listing.Error != 0 || LinksAsLinks() ? Listing.Error : Listing.LinkError;
    if (error != 0)
      report_.Unreadable.push_back({beCannotReadFile, Folder, platform::ErrorText(error)});
  }

  // A folder taken whole ("*.*" or "*" with the switch) that yielded no
  // file although hidden folders in it were left out: its files are out of
  // reach, which a backup of it must not pass over as an empty folder. A
  // truly empty folder, or one that holds only empty folders, is no fault.
  void CheckWholeFolder(const std::string& Folder, const std::string& Pattern) {
    const int32_t hidden = report_.HiddenFolders - hiddenBefore_;
    if ((Pattern != "*.*" && Pattern != "*") || hidden == 0 || report_.Stopped) return;
    report_.Unselected.push_back(
        {beNothingSelected, Folder,
         "no file outside its " + std::to_string(hidden) +
             (hidden == 1 ? " hidden folder, which was" : " hidden folders, which were") +
             " left out"});
  }

  // A folder named as if it were a file selects nothing: a pattern takes
  // the files of a folder ("FOLDER/*.*"), and the switch its sub-folders.
  void CheckNamedFolder(const std::string& Source, const std::string& Last) {
    if (Last.empty() || Last.find_first_of("*?") != std::string::npos ||
        !platform::DirectoryExists(Source))
      return;
    report_.Unselected.push_back(
        {beNothingSelected, Source,
         "it is a folder, named without a pattern or the sub-directory switch"});
  }

  // Folder is absolute, normalised and ends in a separator; a found name is never
  // "." or "..", so Folder + name is the file's absolute form.
  // Its sub-folders are not walked, so none of them counts as left out.
  void AddFiles(const std::string& Folder, const std::string& Pattern) {
    if (!KeepGoing()) return;
    platform::FolderListing listing = platform::ListFolder(Folder, Pattern);
    listing.HiddenDirectories = 0;
    NoteListing(Folder, listing);
    // A link named by its own name is the file the user asked for, as a
    // folder named through a link is walked: only the links a wildcard or
    // a walk meets are kept as links.
    if (HasWildcard(Pattern)) {
      AddListed(Folder, listing);
      return;
    }
    for (const platform::SearchEntry& file : listing.Files) AddFile(Folder, file);
  }

  bool LinksAsLinks() const {
    return options_.Capture != nullptr && options_.Capture->LinksAsLinks();
  }

  // A link kept as a link is recorded, and the file it leads to is not read.
  void AddListed(const std::string& Folder, const platform::FolderListing& Listing) {
    const bool asLinks = LinksAsLinks();
    for (const platform::SearchEntry& file : Listing.Files)
      if (!(asLinks && file.Link)) AddFile(Folder, file);
    if (!asLinks) return;
    for (const platform::SearchEntry& link : Listing.Links)
      options_.Capture->FoundLink(Folder + platform::ComparableName(link.Name));
  }

  // Appends Folder + Name unless it is one of Kelmora's working files, an
  // earlier specification selected it, it is the archive, or incremental
  // mode finds its archive attribute clear.
  void AddFile(const std::string& Folder, const platform::SearchEntry& Found) {
    // Kelmora's temporaries and locks belong to runs, never to a backup.
    if (platform::IsWorkingFileName(Found.Name)) return;
    // A large folder is no reason to stop answering either.
    if (++found_ % kFilesBetweenMessages == 0) KeepGoing();
    // The candidate goes in first so that the set can hash it by position.
    selected_.push_back(Folder + platform::ComparableName(Found.Name));
    const size_t added = selected_.size() - 1;
    const std::string path = selected_.back();
    if ((!seen_.empty() && seen_.count(added) != 0) || IsArchive(path, Found.Measure) ||
        (mode_ == bmIncremental && !platform::HasArchiveAttribute(path))) {
      selected_.pop_back();
    } else if (measures_ != nullptr) {
      measures_->push_back(Found.Measure);
    }
  }

  // The archive or one of the older archive's volumes, reached by its own
  // name, through a linked folder or through a link of any name: a backup
  // that stored it would hold the last run's archive, more every time.
  bool IsArchive(const std::string& Path, const platform::FileMeasure& Seen) const {
    if (archiveNames_.empty()) return false;
    if (archiveNames_.count(Path) != 0) return true;
    if (Seen.Device != 0 || Seen.Inode != 0)
      return archiveIdentities_.count({Seen.Device, Seen.Inode}) != 0;
    // A search that tells no identity: looked up only where the name is one
    // of the archive's, the usual way to reach it again.
    if (archiveIdentities_.empty() || archiveLeaves_.count(NamePart(Path)) == 0) return false;
    platform::FileIdentity identity;
    return platform::IdentityOfPath(Path, identity) &&
           archiveIdentities_.count({identity.Device, identity.Inode}) != 0;
  }

  static constexpr size_t kFilesBetweenMessages = 4096;

  TBackupMode mode_;
  List& selected_;
  std::vector<Measure>* measures_;  // beside selected_, when asked for
  const SelectionOptions& options_;
  SelectionReport& report_;
  // Files the current specification found, before any was left out as a
  // duplicate, the archive or unchanged; the hidden folders counted before it.
  size_t found_ = 0;
  int32_t hiddenBefore_ = 0;
  // Positions in selected_ of the entries before the current specification.
  std::unordered_set<size_t, EntryHash, EntryEqual> seen_;
  size_t indexed_ = 0;
  // The archive's files: their names as the search spells them, the last
  // components of those, and their identities (device, inode).
  std::unordered_set<std::string> archiveNames_;
  std::unordered_set<std::string> archiveLeaves_;
  std::set<std::pair<uint64_t, uint64_t>> archiveIdentities_;
};

template <typename List, typename Measure>
void Expand(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
            List& Selected, std::vector<Measure>* Measures, const SelectionOptions& Options,
            SelectionReport& Report) {
  Expansion<List, Measure> expansion(Archive, Mode, Selected, Measures, Options, Report);
  for (const std::string& source : Sources) {
    if (Report.Stopped) break;
    expansion.ExpandSpecification(source);
  }
}

}  // namespace

void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures,
                       const SelectionOptions& Options, SelectionReport& Report) {
  Expand(Sources, Archive, Mode, Selected, Measures, Options, Report);
}

void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       SelectedFiles& Selected, std::vector<SelectedMeasure>* Measures,
                       const SelectionOptions& Options, SelectionReport& Report) {
  Expand(Sources, Archive, Mode, Selected, Measures, Options, Report);
}

void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures) {
  SelectionReport report;
  SelectSourceFiles(Sources, Archive, Mode, Selected, Measures, SelectionOptions{}, report);
}

size_t FindSubdirectorySwitch(const std::string& Source) {
  for (size_t p = Source.find('/'); p != std::string::npos; p = Source.find('/', p + 1)) {
    if (p + 1 >= Source.size() || (Source[p + 1] != 's' && Source[p + 1] != 'S')) continue;
    if (p > 0 && IsBlank(Source[p - 1])) return p;
    if (p == 0 && (p + 2 == Source.size() || IsBlank(Source[p + 2]))) return p;
  }
  return std::string::npos;
}

void SelectSourceFiles(const TStringList& Sources, const std::string& ArchiveName, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures) {
  SelectSourceFiles(Sources, TStringList{ArchiveName}, Mode, Selected, Measures);
}

bool NamesFile(const TStringList& Sources, const std::string& Path) {
  if (Path.empty()) return false;
  const std::string full = platform::ComparableName(platform::FullPath(Path));
  for (const std::string& source : Sources) {
    if (source.empty() || FindSubdirectorySwitch(source) != std::string::npos) continue;
    std::string folder, last;
    SplitPattern(source, folder, last);
    if (last.empty() || HasWildcard(last)) continue;
    if (platform::ComparableName(platform::FullPath(source)) == full ||
        platform::SameFile(source, Path))
      return true;
  }
  return false;
}

}  // namespace kelmora

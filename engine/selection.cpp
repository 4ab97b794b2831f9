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

// Where the sub-directory switch starts in Source, or npos. "/" is also the
// path separator, so "/s" is the switch only where no path can hold it:
// after a blank or control character (" /s", " /sx"), or as a word of its
// own at the very start ("/s"). "/srv/data/*.*" therefore has no switch.
size_t FindSwitch(const std::string& Source) {
  for (size_t p = Source.find('/'); p != std::string::npos; p = Source.find('/', p + 1)) {
    if (p + 1 >= Source.size() || (Source[p + 1] != 's' && Source[p + 1] != 'S')) continue;
    if (p > 0 && IsBlank(Source[p - 1])) return p;
    if (p == 0 && (p + 2 == Source.size() || IsBlank(Source[p + 2]))) return p;
  }
  return std::string::npos;
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
class Expansion {
 public:
  Expansion(const TStringList& Archive, TBackupMode Mode, TStringList& Selected,
            std::vector<platform::FileMeasure>* Measures, UnlistedFolder* Unlisted)
      : mode_(Mode),
        selected_(Selected),
        measures_(Measures),
        unlisted_(Unlisted),
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
    const size_t sw = FindSwitch(source);
    std::string folder, last;
    if (sw == std::string::npos) {
      SplitPattern(source, folder, last);
      AddFiles(AbsoluteFolder(folder), last);
    } else {
      SplitPattern(Trim(source.substr(0, sw)), folder, last);
      ExpandTree(AbsoluteFolder(folder), last);
    }
  }

 private:
  struct EntryHash {
    const TStringList* list;
    size_t operator()(size_t i) const { return std::hash<std::string>{}((*list)[i]); }
  };
  struct EntryEqual {
    const TStringList* list;
    bool operator()(size_t a, size_t b) const { return (*list)[a] == (*list)[b]; }
  };

  // Sub-directories first, each complete before the next, then the
  // folder's own files. Folder and pattern travel apart, so a path that
  // happens to hold " /s" (a folder "a " above a folder "sub") is never
  // taken for a switch. One listing per folder serves both searches:
  // reading every folder twice would double the cost of the walk.
  void ExpandTree(const std::string& Folder, const std::string& Pattern) {
    const platform::FolderListing listing = platform::ListFolder(Folder, Pattern);
    NoteUnlisted(Folder, listing.Error);
    for (const platform::SearchEntry& sub : listing.Directories)
      ExpandTree(Folder + platform::ComparableName(sub.Name) + platform::kPathSeparator, Pattern);
    for (const platform::SearchEntry& file : listing.Files) AddFile(Folder, file);
  }

  // Folder is absolute, normalised and ends in a separator; a found name is never
  // "." or "..", so Folder + name is the file's absolute form.
  void AddFiles(const std::string& Folder, const std::string& Pattern) {
    int error = 0;
    platform::SearchFiles(
        Folder, Pattern, [&](const platform::SearchEntry& entry) { AddFile(Folder, entry); },
        &error);
    NoteUnlisted(Folder, error);
  }

  void NoteUnlisted(const std::string& Folder, int Error) {
    if (Error != 0 && unlisted_ != nullptr && unlisted_->Error == 0) *unlisted_ = {Folder, Error};
  }

  // Appends Folder + Name unless it is one of Kelmora's working files, an
  // earlier specification selected it, it is the archive, or incremental
  // mode finds its archive attribute clear.
  void AddFile(const std::string& Folder, const platform::SearchEntry& Found) {
    // Kelmora's temporaries and locks belong to runs, never to a backup.
    if (platform::IsWorkingFileName(Found.Name)) return;
    // The candidate goes in first so that the set can hash it by position.
    selected_.push_back(Folder + platform::ComparableName(Found.Name));
    const size_t added = selected_.size() - 1;
    const std::string& path = selected_.back();
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

  TBackupMode mode_;
  TStringList& selected_;
  std::vector<platform::FileMeasure>* measures_;  // beside selected_, when asked for
  UnlistedFolder* unlisted_;
  // Positions in selected_ of the entries before the current specification.
  std::unordered_set<size_t, EntryHash, EntryEqual> seen_;
  size_t indexed_ = 0;
  // The archive's files: their names as the search spells them, the last
  // components of those, and their identities (device, inode).
  std::unordered_set<std::string> archiveNames_;
  std::unordered_set<std::string> archiveLeaves_;
  std::set<std::pair<uint64_t, uint64_t>> archiveIdentities_;
};

bool HasWildcard(const std::string& Name) {
  return Name.find_first_of("*?") != std::string::npos;
}

}  // namespace

void SelectSourceFiles(const TStringList& Sources, const TStringList& Archive, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures,
                       UnlistedFolder* Unlisted) {
  Expansion expansion(Archive, Mode, Selected, Measures, Unlisted);
  for (const std::string& source : Sources) expansion.ExpandSpecification(source);
}

void SelectSourceFiles(const TStringList& Sources, const std::string& ArchiveName, TBackupMode Mode,
                       TStringList& Selected, std::vector<platform::FileMeasure>* Measures,
                       UnlistedFolder* Unlisted) {
  SelectSourceFiles(Sources, TStringList{ArchiveName}, Mode, Selected, Measures, Unlisted);
}

bool NamesFile(const TStringList& Sources, const std::string& Path) {
  if (Path.empty()) return false;
  const std::string full = platform::ComparableName(platform::FullPath(Path));
  for (const std::string& source : Sources) {
    if (source.empty() || FindSwitch(source) != std::string::npos) continue;
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

// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/replacement.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string_view>
#include <utility>

#include "engine/archive_format.h"
#include "kelmora/helpers.h"
#include "platform/assertions.h"
#include "platform/file.h"
#include "platform/names.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

namespace replacement {

namespace {

constexpr std::string_view kFirstLine = "kelmora-replacement 1\n";

uint64_t Checksum(std::string_view Text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : Text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string Hex(uint64_t Value) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(Value));
  return digits;
}

// A field holds no blank, line break or "%" of its own.
std::string Escaped(std::string_view Name) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : Name) {
    if (c <= ' ' || c == '%' || c == 0x7f) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unescaped(std::string_view Field, std::string& Name) {
  Name.clear();
  for (size_t i = 0; i < Field.size(); ++i) {
    if (Field[i] != '%') {
      Name += Field[i];
      continue;
    }
    if (i + 2 >= Field.size()) return false;
    const int high = HexDigit(Field[i + 1]), low = HexDigit(Field[i + 2]);
    if (high < 0 || low < 0) return false;
    Name += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // A name of the folder itself, of another folder or with a NUL is no
  // file the record can speak of.
  return !Name.empty() && Name != "." && Name != ".." &&
         Name.find_first_of(platform::kFolderEnds) == std::string::npos &&
         Name.find('\0') == std::string::npos;
}

bool ParseSize(std::string_view Field, int64_t& Size) {
  if (Field.empty() || Field.size() > 18) return false;
  Size = 0;
  for (const char c : Field) {
    if (c < '0' || c > '9') return false;
    Size = Size * 10 + (c - '0');
  }
  return true;
}

std::vector<std::string_view> Fields(std::string_view Line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (start <= Line.size()) {
    size_t end = Line.find(' ', start);
    if (end == std::string_view::npos) end = Line.size();
    fields.push_back(Line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace

std::string FormatRecord(const std::vector<Entry>& Entries) {
  std::string text(kFirstLine);
  for (const Entry& entry : Entries) {
    if (entry.Temporary.empty())
      text += "remove " + std::to_string(entry.Size) + " " + Escaped(entry.Name) + "\n";
    else
      text += "put " + std::to_string(entry.Size) + " " + Escaped(entry.Temporary) + " " +
              Escaped(entry.Name) + "\n";
  }
  return text + "end " + Hex(Checksum(text)) + "\n";
}

bool ParseRecord(const std::string& Text, std::vector<Entry>& Entries) {
  Entries.clear();
  const std::string_view text(Text);
  if (text.substr(0, kFirstLine.size()) != kFirstLine) return false;
  size_t at = kFirstLine.size();
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return false;  // cut inside a line
    const std::vector<std::string_view> fields = Fields(text.substr(at, end - at));
    if (fields[0] == "end") {
      return fields.size() == 2 && end + 1 == text.size() &&
             fields[1] == Hex(Checksum(text.substr(0, at)));
    }
    Entry entry;
    const bool put = fields[0] == "put" && fields.size() == 4;
    if (!put && !(fields[0] == "remove" && fields.size() == 3)) return false;
    if (!ParseSize(fields[1], entry.Size) || !Unescaped(fields.back(), entry.Name)) return false;
    // Only a temporary of Kelmora's own is ever renamed or removed.
    if (put &&
        (!Unescaped(fields[2], entry.Temporary) || !platform::IsTemporaryName(entry.Temporary)))
      return false;
    Entries.push_back(std::move(entry));
    at = end + 1;
  }
  return false;  // no end line
}

}  // namespace replacement

namespace {

using replacement::Entry;

// Far beyond any record: 1,000 entries of two names of 255 bytes, escaped.
constexpr int64_t kLongestRecord = int64_t{4} << 20;

std::string FolderOf(const std::string& Path) {
  const size_t end = Path.find_last_of(platform::kFolderEnds);
  return end == std::string::npos ? std::string() : Path.substr(0, end + 1);
}

std::string LeafOf(const std::string& Path) {
  const size_t end = Path.find_last_of(platform::kFolderEnds);
  return end == std::string::npos ? Path : Path.substr(end + 1);
}

// The size of the regular file at Path, its links not followed: 0, ENOENT
// when nothing is there, EINVAL for something other than a regular file,
// or the error number of looking.
int SizeOf(const std::string& Path, int64_t& Size) {
  platform::FileState state;
  const platform::File file = platform::File::Open(Path, platform::OpenMode::Read, false, &state);
  if (!file.Valid()) return file.LastError() == ELOOP ? EINVAL : file.LastError();
  if (state.Kind != platform::FileKind::Regular) return EINVAL;
  Size = state.Size;
  return 0;
}

// Whether Leaf names one of the files of the archive First: First itself,
// a later volume, its companion file.
bool IsArchiveFile(const std::string& First, const std::string& Leaf) {
  const std::string folder = FolderOf(First);
  if (folder + Leaf == First || folder + Leaf == CompanionFileName(First)) return true;
  for (unsigned number = 2; number <= static_cast<unsigned>(format::kMaxVolumes); ++number)
    if (folder + Leaf == format::VolumeName(First, number)) return true;
  return false;
}

int ReadRecord(const std::string& Path, std::string& Text) {
  platform::FileState state;
  platform::File file = platform::File::Open(Path, platform::OpenMode::Read, false, &state);
  if (!file.Valid()) return file.LastError();
  // Anything else in its place is no record this system wrote.
  if (state.Kind != platform::FileKind::Regular || state.Size > kLongestRecord) {
    Text.clear();
    return 0;
  }
  Text.resize(static_cast<size_t>(state.Size));
  size_t got = 0;
  while (got < Text.size()) {
    const int64_t n = file.Read(Text.data() + got, Text.size() - got);
    if (n < 0) return file.LastError();
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  Text.resize(got);
  return 0;
}

Completion Failure(std::string Subject, std::string Why) {
  Completion failed;
  failed.How = Completion::Kind::Failed;
  failed.Subject = std::move(Subject);
  failed.Why = std::move(Why);
  return failed;
}

Completion Failure(std::string Subject, int Error) {
  return Failure(std::move(Subject),
                 "the unfinished replacement of the archive cannot be completed: " +
                     platform::ErrorText(Error));
}

}  // namespace

Replacement::Replacement(std::string Archive)
    : archive_(std::move(Archive)), record_(platform::JournalPathOf(archive_)) {}

void Replacement::Put(std::string Temporary, std::string Final) {
  KELMORA_ASSERT(FolderOf(Temporary) == FolderOf(archive_) &&
                 FolderOf(Final) == FolderOf(archive_));
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(puts_++),
                  Entry{std::move(Temporary), std::move(Final), 0});
}

void Replacement::Remove(std::string Older) {
  KELMORA_ASSERT(FolderOf(Older) == FolderOf(archive_));
  entries_.push_back(Entry{std::string(), std::move(Older), 0});
}

int Replacement::Commit(std::string& Failed) {
  begun_ = pending_ = false;
  // One file for one is a single rename: it happens whole or not at all.
  if (puts_ == 1 && entries_.size() == 1) {
    const Entry& only = entries_.front();
    if (const int error = platform::RenameFile(only.Temporary, only.Name); error != 0) {
      Failed = only.Name;
      return error;
    }
    begun_ = true;
    if (const int error = platform::SyncFolderOf(archive_); error != 0) {
      Failed = archive_;
      return error;
    }
    return 0;
  }
  if (const int error = WriteRecord(Failed); error != 0) return error;
  for (size_t i = 0; i < puts_; ++i) {
    const Entry& put = entries_[i];
    if (const int error = platform::RenameFile(put.Temporary, put.Name); error != 0) {
      Failed = put.Name;
      // Before the first rename the record can still go, and the older
      // archive stands; should the removal not last, the next command finds
      // no file in place and goes back. Otherwise the record stays, and the
      // next command completes it.
      if (!begun_ && platform::DeleteFile(record_)) {
        platform::SyncFolderOf(archive_);
      } else {
        begun_ = pending_ = true;
      }
      return error;
    }
    begun_ = true;
  }
  // A stale volume that cannot be removed misleads nothing: no volume-change
  // entry of the new archive leads to it.
  for (size_t i = puts_; i < entries_.size(); ++i) platform::DeleteFile(entries_[i].Name);
  if (const int error = platform::SyncFolderOf(archive_); error != 0) {
    Failed = archive_;
    pending_ = true;
    return error;
  }
  // The renames are durable: should the record's removal not last, the
  // next command finds every file in place and only removes it.
  if (platform::DeleteFile(record_)) platform::SyncFolderOf(archive_);
  return 0;
}

int Replacement::WriteRecord(std::string& Failed) {
  Failed = archive_;
  std::vector<Entry> leaves;
  for (const Entry& entry : entries_) {
    Entry leaf{entry.Temporary.empty() ? std::string() : LeafOf(entry.Temporary),
               LeafOf(entry.Name), 0};
    const int error = SizeOf(entry.Temporary.empty() ? entry.Name : entry.Temporary, leaf.Size);
    if (error == ENOENT && entry.Temporary.empty()) continue;  // nothing to remove
    if (error != 0) {
      Failed = entry.Name;
      return error;
    }
    leaves.push_back(std::move(leaf));
  }
  const std::string text = replacement::FormatRecord(leaves);
  platform::File file = platform::File::Open(record_, platform::OpenMode::Create, false);
  int error = file.Valid() ? 0 : file.LastError();
  if (error == 0 && !file.Write(text.data(), text.size())) error = file.LastError();
  if (file.Valid() && !file.Close() && error == 0) error = file.LastError();
  // The record and its name on the device before the first rename.
  if (error == 0) error = platform::SyncFile(record_);
  if (error == 0) error = platform::SyncFolderOf(archive_);
  if (error != 0) platform::DeleteFile(record_);
  return error;
}

Completion CompleteReplacement(const std::string& Archive) {
  const std::string record = platform::JournalPathOf(Archive);
  std::string text;
  if (const int error = ReadRecord(record, text); error != 0)
    return error == ENOENT ? Completion{} : Failure(record, error);
  const std::string folder = FolderOf(Archive);
  std::vector<Entry> entries;
  bool whole = replacement::ParseRecord(text, entries);
  for (const Entry& entry : entries) whole = whole && IsArchiveFile(Archive, entry.Name);

  // Where each new file is: waiting under its temporary name, in its
  // place, or lost (which only a hand from outside can bring about).
  enum class At { Waiting, InPlace, Lost };
  std::vector<At> at(entries.size(), At::Lost);
  bool anyInPlace = false, anyLost = false;
  for (size_t i = 0; whole && i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    if (entry.Temporary.empty()) continue;
    int64_t size = -1;
    int error = SizeOf(folder + entry.Temporary, size);
    if (error == 0 && size == entry.Size) {
      at[i] = At::Waiting;
    } else if (error == ENOENT) {
      error = SizeOf(folder + entry.Name, size);
      if (error == 0 && size == entry.Size) at[i] = At::InPlace;
    }
    if (error != 0 && error != ENOENT && error != EINVAL)
      return Failure(folder + entry.Name, error);
    anyInPlace = anyInPlace || at[i] == At::InPlace;
    anyLost = anyLost || at[i] == At::Lost;
  }

  if (!whole || (anyLost && !anyInPlace)) {
    // Cut before any rename (or while the record was written): the older
    // files stand. The record goes first, for good; the temporaries are
    // then mere leftovers.
    int error = platform::RemoveFile(record);
    if (error == 0) error = platform::SyncFolderOf(Archive);
    if (error != 0) return Failure(record, error);
    for (size_t i = 0; i < entries.size(); ++i)
      if (at[i] == At::Waiting) platform::DeleteFile(folder + entries[i].Temporary);
    Completion back;
    back.How = Completion::Kind::Back;
    return back;
  }
  if (anyLost) {
    for (size_t i = 0; i < entries.size(); ++i)
      if (at[i] == At::Lost && !entries[i].Temporary.empty())
        return Failure(folder + entries[i].Name,
                       "the unfinished replacement of the archive cannot be completed: this new "
                       "file of it is missing while others are in place");
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    if (at[i] != At::Waiting) continue;
    const std::string name = folder + entries[i].Name;
    if (const int error = platform::RenameFile(folder + entries[i].Temporary, name); error != 0)
      return Failure(name, error);
  }
  for (const Entry& entry : entries) {
    int64_t size = -1;
    if (entry.Temporary.empty() && SizeOf(folder + entry.Name, size) == 0 && size == entry.Size)
      platform::DeleteFile(folder + entry.Name);
  }
  if (const int error = platform::SyncFolderOf(Archive); error != 0) return Failure(Archive, error);
  if (platform::DeleteFile(record)) platform::SyncFolderOf(Archive);
  Completion forward;
  forward.How = Completion::Kind::Forward;
  return forward;
}

}  // namespace kelmora

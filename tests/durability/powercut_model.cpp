// SPDX-License-Identifier: GPL-3.0-or-later

#include "powercut_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <set>

namespace kelmora::powercut {

namespace {

timespec Now() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

std::vector<std::string> Components(const char* Path) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* p = Path; *p != '\0'; ++p) {
    if (*p == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += *p;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool ReadWhole(const std::string& Path, std::string& Data) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) return false;
  Data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteWhole(const std::string& Path, const std::string& Data, mode_t Mode, timespec Mtime) {
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < Data.size()) {
    const ssize_t n = ::write(fd, Data.data() + done, Data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const timespec times[2] = {Mtime, Mtime};
  const bool ok =
      done == Data.size() && ::fchmod(fd, Mode & 07777) == 0 && ::futimens(fd, times) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace

Model::Model() {
  Node& root = nodes_[kRoot];
  root.Mode = S_IFDIR | 0755;
  root.DurableMode = root.Mode;
  root.Links = 2;
  root.Mtime = root.Ctime = root.DurableMtime = Now();
  durable_[kRoot];
}

Node* Model::Find(Ino N) {
  const auto it = nodes_.find(N);
  return it == nodes_.end() ? nullptr : &it->second;
}

const Node* Model::Find(Ino N) const {
  const auto it = nodes_.find(N);
  return it == nodes_.end() ? nullptr : &it->second;
}

Ino Model::NewNode(mode_t Mode) {
  const Ino made = next_++;
  Node& n = nodes_[made];
  n.Mode = Mode;
  n.DurableMode = Mode;
  n.Links = S_ISDIR(Mode) ? 2 : 1;
  n.Mtime = n.Ctime = n.DurableMtime = Now();
  return made;
}

void Model::Touch(Node& N) {
  N.Mtime = N.Ctime = Now();
  N.Dirty = true;
}

bool Model::Load(const std::string& Folder) {
  // Depth first, each folder's node known before its names.
  std::vector<std::pair<std::string, Ino>> folders{{Folder, kRoot}};
  std::map<std::pair<dev_t, ino_t>, Ino> linked;  // files with more than one name
  while (!folders.empty()) {
    const auto [path, folder] = folders.back();
    folders.pop_back();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string full = path + "/" + name;
      struct stat st;
      if (::lstat(full.c_str(), &st) != 0) {
        ::closedir(dir);
        return false;
      }
      if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
        const auto earlier = linked.find({st.st_dev, st.st_ino});
        if (earlier != linked.end()) {
          ++nodes_[earlier->second].Links;
          nodes_[folder].Entries[name] = earlier->second;
          durable_[folder][name] = earlier->second;
          continue;
        }
      }
      const Ino made = NewNode(st.st_mode);
      if (S_ISREG(st.st_mode) && st.st_nlink > 1) linked[{st.st_dev, st.st_ino}] = made;
      Node& n = nodes_[made];
      n.Mtime = n.Ctime = n.DurableMtime = st.st_mtim;
      if (S_ISDIR(st.st_mode)) {
        folders.emplace_back(full, made);
        durable_[made];
      } else if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t length = ::readlink(full.c_str(), target, sizeof target);
        if (length < 0) {
          ::closedir(dir);
          return false;
        }
        n.Data.assign(target, static_cast<size_t>(length));
      } else if (S_ISREG(st.st_mode)) {
        if (!ReadWhole(full, n.Data)) {
          ::closedir(dir);
          return false;
        }
      } else {
        continue;  // devices and FIFOs have no place in a test tree
      }
      n.DurableData = n.Data;
      nodes_[folder].Entries[name] = made;
      durable_[folder][name] = made;
    }
    ::closedir(dir);
  }
  return true;
}

int Model::Resolve(const char* Path, Ino& Found) const {
  Ino at = kRoot;
  for (const std::string& part : Components(Path)) {
    const Node& n = nodes_.at(at);
    if (!n.IsDir()) return -ENOTDIR;
    const auto it = n.Entries.find(part);
    if (it == n.Entries.end()) return -ENOENT;
    at = it->second;
  }
  Found = at;
  return 0;
}

int Model::Parent(const char* Path, Ino& Folder, std::string& Leaf) const {
  std::vector<std::string> parts = Components(Path);
  if (parts.empty()) return -EBUSY;  // the root has no parent to change
  Leaf = parts.back();
  std::string above = "/";
  for (size_t i = 0; i + 1 < parts.size(); ++i) above += parts[i] + "/";
  if (const int error = Resolve(above.c_str(), Folder); error != 0) return error;
  return nodes_.at(Folder).IsDir() ? 0 : -ENOTDIR;
}

int Model::Stat(Ino N, struct stat& St) const {
  const Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  std::memset(&St, 0, sizeof St);
  St.st_ino = N;
  St.st_mode = n->Mode;
  St.st_nlink = n->Links;
  St.st_uid = ::getuid();
  St.st_gid = ::getgid();
  St.st_size = static_cast<off_t>(n->IsDir() ? 4096 : n->Data.size());
  St.st_blksize = 4096;
  St.st_blocks = (St.st_size + 511) / 512;
  St.st_atim = n->Mtime;
  St.st_mtim = n->Mtime;
  St.st_ctim = n->Ctime;
  return 0;
}

int Model::Create(const char* Path, mode_t Mode, Ino& Made) {
  Ino folder;
  std::string leaf;
  if (const int error = Parent(Path, folder, leaf); error != 0) return error;
  if (nodes_[folder].Entries.count(leaf) != 0) return -EEXIST;
  Made = NewNode(Mode);
  Node& parent = nodes_[folder];
  parent.Entries[leaf] = Made;
  if (S_ISDIR(Mode)) {
    ++parent.Links;
    durable_[Made];
  }
  parent.Mtime = parent.Ctime = Now();
  waiting_.push_back({NameChange::Link, folder, leaf, 0, {}, Made});
  return 0;
}

int Model::Symlink(const char* Target, const char* Path) {
  Ino made;
  if (const int error = Create(Path, S_IFLNK | 0777, made); error != 0) return error;
  Node& n = nodes_[made];
  n.Data = n.DurableData = Target;
  return 0;
}

int Model::Unlink(const char* Path, bool Folder) {
  Ino folder;
  std::string leaf;
  if (const int error = Parent(Path, folder, leaf); error != 0) return error;
  Node& parent = nodes_[folder];
  const auto it = parent.Entries.find(leaf);
  if (it == parent.Entries.end()) return -ENOENT;
  Node& n = nodes_[it->second];
  if (Folder && !n.IsDir()) return -ENOTDIR;
  if (!Folder && n.IsDir()) return -EISDIR;
  if (Folder && !n.Entries.empty()) return -ENOTEMPTY;
  waiting_.push_back({NameChange::Unlink, folder, leaf, 0, {}, it->second});
  n.Links = Folder ? 0 : n.Links - 1;
  if (Folder) --parent.Links;
  parent.Entries.erase(it);
  parent.Mtime = parent.Ctime = Now();
  return 0;
}

int Model::Rename(const char* From, const char* To, unsigned Flags) {
  if ((Flags & RENAME_EXCHANGE) != 0 || (Flags & ~RENAME_NOREPLACE) != 0) return -EINVAL;
  Ino fromFolder, toFolder;
  std::string fromLeaf, toLeaf;
  if (const int error = Parent(From, fromFolder, fromLeaf); error != 0) return error;
  if (const int error = Parent(To, toFolder, toLeaf); error != 0) return error;
  const auto source = nodes_[fromFolder].Entries.find(fromLeaf);
  if (source == nodes_[fromFolder].Entries.end()) return -ENOENT;
  const Ino moved = source->second;
  const auto target = nodes_[toFolder].Entries.find(toLeaf);
  if (target != nodes_[toFolder].Entries.end()) {
    if ((Flags & RENAME_NOREPLACE) != 0) return -EEXIST;
    if (target->second == moved) return 0;
    Node& old = nodes_[target->second];
    if (old.IsDir() && !nodes_[moved].IsDir()) return -EISDIR;
    if (!old.IsDir() && nodes_[moved].IsDir()) return -ENOTDIR;
    if (old.IsDir() && !old.Entries.empty()) return -ENOTEMPTY;
    old.Links = old.IsDir() ? 0 : old.Links - 1;
  }
  // A folder must not move below itself.
  if (nodes_[moved].IsDir()) {
    std::vector<Ino> below{moved};
    while (!below.empty()) {
      const Ino at = below.back();
      below.pop_back();
      if (at == toFolder) return -EINVAL;
      for (const auto& entry : nodes_[at].Entries)
        if (nodes_[entry.second].IsDir()) below.push_back(entry.second);
    }
  }
  nodes_[fromFolder].Entries.erase(fromLeaf);
  nodes_[toFolder].Entries[toLeaf] = moved;
  nodes_[fromFolder].Mtime = nodes_[toFolder].Mtime = Now();
  waiting_.push_back({NameChange::Rename, fromFolder, fromLeaf, toFolder, toLeaf, moved});
  return 0;
}

int Model::HardLink(const char* From, const char* To) {
  Ino source, folder;
  std::string leaf;
  if (const int error = Resolve(From, source); error != 0) return error;
  if (nodes_[source].IsDir()) return -EPERM;
  if (const int error = Parent(To, folder, leaf); error != 0) return error;
  if (nodes_[folder].Entries.count(leaf) != 0) return -EEXIST;
  nodes_[folder].Entries[leaf] = source;
  ++nodes_[source].Links;
  waiting_.push_back({NameChange::Link, folder, leaf, 0, {}, source});
  return 0;
}

int Model::Read(Ino N, char* Buffer, size_t Size, off_t Offset, size_t& Done) const {
  const Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  if (n->IsDir()) return -EISDIR;
  Done = 0;
  if (Offset < 0) return -EINVAL;
  if (static_cast<size_t>(Offset) < n->Data.size()) {
    Done = std::min(Size, n->Data.size() - static_cast<size_t>(Offset));
    std::memcpy(Buffer, n->Data.data() + Offset, Done);
  }
  return 0;
}

int Model::Write(Ino N, const char* Buffer, size_t Size, off_t Offset) {
  Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  if (n->IsDir()) return -EISDIR;
  if (Offset < 0) return -EINVAL;
  const size_t end = static_cast<size_t>(Offset) + Size;
  if (n->Data.size() < end) n->Data.resize(end, '\0');
  std::memcpy(n->Data.data() + Offset, Buffer, Size);
  Touch(*n);
  return 0;
}

int Model::Truncate(Ino N, off_t Size) {
  Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  if (n->IsDir()) return -EISDIR;
  if (Size < 0) return -EINVAL;
  n->Data.resize(static_cast<size_t>(Size), '\0');
  Touch(*n);
  return 0;
}

int Model::Chmod(Ino N, mode_t Mode) {
  Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  n->Mode = (n->Mode & S_IFMT) | (Mode & 07777);
  n->Ctime = Now();
  n->Dirty = true;
  return 0;
}

int Model::SetTimes(Ino N, const timespec Times[2]) {
  Node* n = Find(N);
  if (n == nullptr) return -ENOENT;
  if (Times == nullptr || Times[1].tv_nsec == UTIME_NOW)
    n->Mtime = Now();
  else if (Times[1].tv_nsec != UTIME_OMIT)
    n->Mtime = Times[1];
  n->Ctime = Now();
  n->Dirty = true;
  return 0;
}

int Model::Names(Ino Folder, std::vector<std::string>& Found) const {
  const Node* n = Find(Folder);
  if (n == nullptr) return -ENOENT;
  if (!n->IsDir()) return -ENOTDIR;
  for (const auto& entry : n->Entries) Found.push_back(entry.first);
  return 0;
}

void Model::SyncData(Ino N) {
  Node* n = Find(N);
  if (n == nullptr) return;
  n->DurableData = n->Data;
  n->DurableMtime = n->Mtime;
  n->DurableMode = n->Mode;
  n->Dirty = false;
}

void Model::Apply(NameSpace& Names, const NameChange& Change) {
  switch (Change.What) {
    case NameChange::Link:
      Names[Change.From][Change.FromName] = Change.Node;
      break;
    case NameChange::Unlink:
      Names[Change.From].erase(Change.FromName);
      break;
    case NameChange::Rename: {
      auto& source = Names[Change.From];
      const auto it = source.find(Change.FromName);
      if (it != source.end() && it->second == Change.Node) source.erase(it);
      Names[Change.To][Change.ToName] = Change.Node;
      break;
    }
  }
}

void Model::SyncFolder(Ino Folder) {
  std::vector<NameChange> still;
  for (const NameChange& change : waiting_) {
    if (change.From == Folder || change.To == Folder)
      Apply(durable_, change);
    else
      still.push_back(change);
  }
  waiting_.swap(still);
}

void Model::SyncAll() {
  for (const NameChange& change : waiting_) Apply(durable_, change);
  waiting_.clear();
  for (auto& entry : nodes_) SyncData(entry.first);
}

Model::Image Model::DurableImage(CutMode Mode, std::mt19937_64& Random) const {
  Image made;
  made.Names = durable_;
  if (Mode == CutMode::Journal) {
    const size_t kept = std::uniform_int_distribution<size_t>(0, waiting_.size())(Random);
    for (size_t i = 0; i < kept; ++i) Apply(made.Names, waiting_[i]);
  }
  for (const auto& [number, n] : nodes_) {
    made.Data[number] = n.DurableData;
    made.Mtime[number] = n.DurableMtime;
    made.Mode[number] = n.DurableMode;
    if (Mode != CutMode::Journal || !n.Dirty || !S_ISREG(n.Mode)) continue;
    // Unsynced data: lost, written back whole, or torn where the write-back
    // stopped, the rest the old bytes (or zeros past them) or cut off.
    const int fate = std::uniform_int_distribution<int>(0, 3)(Random);
    if (fate == 0) continue;
    made.Mtime[number] = n.Mtime;
    made.Mode[number] = n.Mode;
    std::string& data = made.Data[number];
    if (fate == 1) {
      data = n.Data;
      continue;
    }
    const size_t at = std::uniform_int_distribution<size_t>(0, n.Data.size())(Random);
    std::string torn = n.Data.substr(0, at);
    if (fate == 2) {
      for (size_t i = at; i < n.Data.size(); ++i)
        torn += i < n.DurableData.size() ? n.DurableData[i] : '\0';
    }
    data = std::move(torn);
  }
  return made;
}

bool Model::Write(const std::string& Folder, const Image& Made) const {
  if (::mkdir(Folder.c_str(), 0755) != 0) return false;
  std::map<Ino, std::string> written;  // a node already written, for its hard links
  std::set<Ino> entered{kRoot};
  std::vector<std::pair<std::string, Ino>> folders{{Folder, kRoot}};
  while (!folders.empty()) {
    const auto [path, folder] = folders.back();
    folders.pop_back();
    const auto names = Made.Names.find(folder);
    if (names == Made.Names.end()) continue;
    for (const auto& [name, number] : names->second) {
      const Node* n = Find(number);
      if (n == nullptr) continue;
      const std::string full = path + "/" + name;
      if (n->IsDir()) {
        // A folder moved below itself by a partial journal is entered once.
        if (!entered.insert(number).second) continue;
        if (::mkdir(full.c_str(), Made.Mode.at(number) & 07777) != 0) return false;
        folders.emplace_back(full, number);
      } else if (S_ISLNK(n->Mode)) {
        if (::symlink(n->Data.c_str(), full.c_str()) != 0) return false;
      } else if (const auto earlier = written.find(number); earlier != written.end()) {
        if (::link(earlier->second.c_str(), full.c_str()) != 0) return false;
      } else {
        if (!WriteWhole(full, Made.Data.at(number), Made.Mode.at(number), Made.Mtime.at(number)))
          return false;
        written[number] = full;
      }
    }
  }
  return true;
}

bool Model::Dump(const std::string& Folder, CutMode Mode, std::mt19937_64& Random) const {
  return Write(Folder, DurableImage(Mode, Random));
}

bool Model::DumpLive(const std::string& Folder) const {
  Image live;
  for (const auto& [number, n] : nodes_) {
    if (n.IsDir()) live.Names[number] = n.Entries;
    live.Data[number] = n.Data;
    live.Mtime[number] = n.Mtime;
    live.Mode[number] = n.Mode;
  }
  return Write(Folder, live);
}

}  // namespace kelmora::powercut

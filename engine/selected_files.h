// SPDX-License-Identifier: GPL-3.0-or-later
//
// The files a backup selected, in archive order, as folder and leaf: a
// walk yields a folder's files one after another, so each folder's path is
// held once and each file costs its own name and a few bytes, not a whole
// path in a string of its own. A million files fit in tens of megabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kelmora {

// What the search saw of a selected file, as measuring needs it: less
// than half the bytes of all it tells.
struct SelectedMeasure {
  SelectedMeasure() = default;
  SelectedMeasure(const platform::FileMeasure& Seen)  // NOLINT: taken as the search gives it
      : Size(Seen.Size), Stamp(Seen.Stamp), Known(Seen.Known), Readable(Seen.Readable) {}
  int64_t Size = 0;
  int32_t Stamp = -1;
  bool Known = false;  // false for entries the search did not yield
  bool Readable = false;
};

class SelectedFiles {
 public:
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The whole path of entry Index.
  std::string operator[](size_t Index) const;
  std::string back() const { return (*this)[entries_.size() - 1]; }
  void push_back(const std::string& Path);
  void pop_back();
  // Puts Path before every entry (the file-ID list goes first).
  void push_front(const std::string& Path);
  // Keeps the entries whose LeftOut is false (a shorter LeftOut keeps the
  // rest), in their order.
  void Remove(const std::vector<bool>& LeftOut);
  void clear() { *this = SelectedFiles(); }

 private:
  struct Entry {
    uint64_t LeafAt = 0;  // in leaves_
    uint32_t Folder = 0;  // in folders_
    uint32_t LeafSize = 0;
  };
  std::vector<std::string> folders_;  // each with its separator, or ""
  std::string leaves_;
  std::vector<Entry> entries_;
};

}  // namespace kelmora

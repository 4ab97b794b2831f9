// SPDX-License-Identifier: GPL-3.0-or-later
//
// The names a restore has put files at, each with the stored name it put
// there, in a few dozen bytes a name: a million files restored must not
// cost the run hundreds of megabytes of strings and map nodes.
//
// The pairs are kept front-coded, in the order they were claimed (an
// archive holds a folder's files one after another, so a name mostly
// shares all but its leaf with the one before), with a full pair every
// kBlock entries to start decoding from; a stored name that ends the name
// it is claimed at (a restore into a folder puts it below it) is kept as
// where it begins there. The bytes lie in pieces of about a mebibyte,
// a block never split, so that growing never copies them all. A table of slots finds a
// name's entries by a tag of its hash. A tag is no proof: every match is
// decoded and compared whole, so two names whose hashes collide are never
// taken for one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmora {

struct NameHash {
  uint64_t operator()(std::string_view Name) const { return std::hash<std::string_view>{}(Name); }
};

template <typename Hash = NameHash>
class BasicNameClaims {
 public:
  // The stored name claimed at Name, if any.
  std::optional<std::string> Find(std::string_view Name) const {
    const uint32_t id = Lookup(Name, nullptr);
    if (id == kNone) return std::nullopt;
    std::string stored;
    Decode(id, nullptr, &stored);
    return stored;
  }
  bool Contains(std::string_view Name) const { return Lookup(Name, nullptr) != kNone; }
  // Claims Name for Stored, in place of what it held.
  void Set(std::string_view Name, std::string_view Stored) {
    Erase(Name);
    Append(Name, Stored);
  }
  // Gives up Name; false when it held nothing.
  bool Erase(std::string_view Name) {
    size_t slot = 0;
    const uint32_t id = Lookup(Name, &slot);
    if (id == kNone) return false;
    slots_[slot] = kErased;
    --live_;
    return true;
  }
  size_t Size() const { return live_; }
  // Bytes held, for the benchmarks' accounting.
  size_t Footprint() const {
    size_t bytes = starts_.capacity() * sizeof(uint64_t) + slots_.capacity() * sizeof(uint64_t);
    for (const std::string& piece : pieces_) bytes += piece.capacity();
    return bytes;
  }

 private:
  static constexpr uint32_t kBlock = 16;
  static constexpr size_t kPiece = size_t{1} << 20;
  static constexpr uint32_t kNone = UINT32_MAX;
  // A slot holds the tag (the hash's upper half) above the entry's number
  // plus one; 0 is a slot never used, kErased one given up.
  static constexpr uint64_t kErased = 1;

  static uint64_t SlotOf(uint64_t Hashed, uint32_t Id) {
    return (Hashed & 0xFFFFFFFF00000000u) | (uint64_t{Id} + 2);
  }

  // The entry claiming Name and, in Slot, where the table holds it.
  uint32_t Lookup(std::string_view Name, size_t* Slot) const {
    if (slots_.empty()) return kNone;
    const uint64_t hash = Hash{}(Name);
    const size_t mask = slots_.size() - 1;
    std::string name;
    for (size_t i = static_cast<size_t>(hash >> 32) & mask;; i = (i + 1) & mask) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return kNone;
      if (slot == kErased || (slot >> 32) != (hash >> 32)) continue;
      const uint32_t id = static_cast<uint32_t>(slot & 0xFFFFFFFFu) - 2;
      Decode(id, &name, nullptr);
      if (name != Name) continue;
      if (Slot != nullptr) *Slot = i;
      return id;
    }
  }

  void Append(std::string_view Name, std::string_view Stored) {
    const uint32_t id = count_++;
    if (id % kBlock == 0) {
      // A new piece while the last has room for a block of ordinary names.
      if (pieces_.empty() || pieces_.back().size() > kPiece - kPiece / 8) {
        pieces_.emplace_back();
        pieces_.back().reserve(kPiece);
      }
      starts_.push_back(uint64_t{pieces_.size() - 1} << 32 | pieces_.back().size());
      lastName_.clear();
      lastStored_.clear();
    }
    Put(lastName_, Name);
    PutStored(Name, Stored);
    // Kept at most three quarters full (erased slots count): a miss, the
    // usual question, ends within a few slots.
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    Insert(SlotOf(Hash{}(Name), id));
    ++live_;
  }

  // The tag also picks the first slot tried, so growing hashes nothing again.
  void Insert(uint64_t Slot) {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(Slot >> 32) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = Slot;
    ++used_;
  }

  // At least twice the room, erased slots dropped.
  void Grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    size_t size = 64;
    while (size < (live_ + 1) * 2) size *= 2;
    slots_.assign(size, 0);
    used_ = 0;
    for (uint64_t slot : old)
      if (slot > kErased) Insert(slot);
  }

  // Appends Text front-coded against Last, which becomes Text: the
  // shared length (twice over, the low bit clear), the rest's length, the
  // rest.
  void Put(std::string& Last, std::string_view Text) {
    size_t shared = 0;
    const size_t most = std::min(Last.size(), Text.size());
    while (shared < most && Last[shared] == Text[shared]) ++shared;
    PutNumber(shared * 2);
    PutNumber(Text.size() - shared);
    pieces_.back().append(Text.substr(shared));
    Last.assign(Text);
  }
  // A stored name that ends Name is where it begins there (twice over,
  // the low bit set); any other is front-coded.
  void PutStored(std::string_view Name, std::string_view Stored) {
    if (Stored.size() <= Name.size() &&
        Name.compare(Name.size() - Stored.size(), Stored.size(), Stored) == 0) {
      PutNumber((Name.size() - Stored.size()) * 2 + 1);
      lastStored_.assign(Stored);
      return;
    }
    Put(lastStored_, Stored);
  }
  void PutNumber(size_t Value) {
    std::string& piece = pieces_.back();
    for (; Value >= 0x80; Value >>= 7) piece.push_back(static_cast<char>(Value | 0x80));
    piece.push_back(static_cast<char>(Value));
  }
  static size_t GetNumber(const std::string& Piece, size_t& At) {
    size_t value = 0;
    for (int shift = 0;; shift += 7) {
      const auto byte = static_cast<unsigned char>(Piece[At++]);
      value |= static_cast<size_t>(byte & 0x7F) << shift;
      if (byte < 0x80) return value;
    }
  }
  // Reads what Put or PutStored wrote; Name is the entry's name, read first.
  static void Get(const std::string& Piece, size_t& At, const std::string* Name,
                  std::string& Text) {
    const size_t first = GetNumber(Piece, At);
    if ((first & 1) != 0) {
      Text.assign(*Name, first / 2);
      return;
    }
    const size_t rest = GetNumber(Piece, At);
    Text.resize(first / 2);
    Text.append(Piece, At, rest);
    At += rest;
  }
  // The name and stored name of entry Id, from the start of its block.
  void Decode(uint32_t Id, std::string* Name, std::string* Stored) const {
    const uint64_t start = starts_[Id / kBlock];
    const std::string& piece = pieces_[static_cast<size_t>(start >> 32)];
    size_t at = static_cast<size_t>(start & 0xFFFFFFFFu);
    std::string name, stored;
    for (uint32_t i = Id - Id % kBlock; i <= Id; ++i) {
      Get(piece, at, nullptr, name);
      Get(piece, at, &name, stored);
    }
    if (Name != nullptr) *Name = std::move(name);
    if (Stored != nullptr) *Stored = std::move(stored);
  }

  std::vector<std::string> pieces_;
  std::vector<uint64_t> starts_;  // piece and place of every kBlock-th entry
  std::vector<uint64_t> slots_;   // a power of two long
  std::string lastName_, lastStored_;
  uint32_t count_ = 0;  // entries appended
  size_t used_ = 0;     // slots taken, erased ones included
  size_t live_ = 0;
};

using NameClaims = BasicNameClaims<>;

}  // namespace kelmora

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a changed block of an archive changed (engine/archive_companion.h).
//
// A block checksum says only that something in its 4 KiB differs, and a
// block holds the ends and beginnings of many small entries. Most of what
// lies there can be compared with what the companion knows it was: a
// stored name and its length, a time stamp, a volume-change entry, the end
// marker, the header's title length and file count. The rest cannot: a
// piece stored uncompressed, the title and the header's total size; the
// layout and the compressed pieces the walk checked already. So each
// changed block is put down to the parts shown to differ; where none is,
// to the parts that cannot be checked; where even none of those lies in
// it, to everything it holds.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/archive_companion.h"
#include "engine/archive_format.h"
#include "engine/companion/archive_check.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

using companion::ArchivePart;
using companion::IndexEntry;

struct Part {
  ArchivePart Kind = ArchivePart::Header;
  int64_t Entry = -1;
  int64_t At = 0;      // its first byte in the block
  bool Shown = false;  // shown to differ, not merely unchecked
};

const char* PartText(ArchivePart Part) {
  switch (Part) {
    case ArchivePart::Name:
      return "its stored name differs from what was written";
    case ArchivePart::Stamp:
      return "its time stamp differs from what was written";
    case ArchivePart::Data:
      return "its data differ from what was written";
    case ArchivePart::Header:
      return "the archive's header (its title or total size) differs from what was written";
    case ArchivePart::VolumeChange:
      return "the volume-change entry differs from what was written";
    case ArchivePart::EndMarker:
      return "the end marker differs from what was written";
  }
  return "";
}

std::string Int32Bytes(int32_t Value) {
  unsigned char bytes[4];
  format::PutInt32(bytes, Value);
  return std::string(reinterpret_cast<char*>(bytes), 4);
}

class Explainer {
 public:
  // Named: the files the walk found damaged already, sorted.
  Explainer(ArchiveCompanion& Companion, const std::vector<IndexEntry>& Index,
            const std::vector<std::string>& Named)
      : c_(Companion), index_(Index), named_(Named), sizes_(Companion.Table().Sizes()) {
    for (const IndexEntry& e : index_) files_ += (e.Flags & companion::kFileListEntry) ? 0 : 1;
  }

  // The parts block [From, To) of Volume holds that differ or cannot be
  // told to be as they were; with Everything, every part it holds.
  std::vector<Part> Explain(unsigned Volume, int64_t From, int64_t To, bool Everything = false) {
    std::vector<Part> parts;
    for (int64_t at = From; at < To;) {
      const companion::ArchivePlace place = companion::PlaceOf(index_, sizes_, Volume, at);
      const int64_t end = std::min(To, EndOf(Volume, at, place));
      Part part{place.Part, place.Entry, at, true};
      const int verdict = Everything ? 1 : Check(Volume, at, end, place);
      if (verdict != 0) {
        part.Shown = verdict > 0;
        parts.push_back(part);
      }
      at = std::max(end, at + 1);
    }
    return parts;
  }

 private:
  // Where the part at At ends.
  int64_t EndOf(unsigned V, int64_t At, const companion::ArchivePlace& Place) const {
    const int64_t size = sizes_[V - 1];
    const int64_t tail =
        V < sizes_.size() ? size - (4 + format::kVolumeChangeNameLength) : size - 4;
    if (Place.Part == ArchivePart::VolumeChange || Place.Part == ArchivePart::EndMarker)
      return size;
    int64_t end = At < tail ? tail : size;
    const auto next = std::upper_bound(
        index_.begin(), index_.end(), std::make_pair(V, At),
        [](const std::pair<unsigned, int64_t>& p, const IndexEntry& e) {
          return p.first < e.Volume || (p.first == e.Volume && p.second < e.Offset);
        });
    if (next != index_.end() && next->Volume == V) end = std::min(end, next->Offset);
    if (Place.Entry >= 0) {
      const IndexEntry& e = index_[static_cast<size_t>(Place.Entry)];
      const int64_t nameEnd = e.Offset + 4 + static_cast<int64_t>(e.Name.size());
      if (Place.Part == ArchivePart::Name) end = std::min(end, nameEnd);
      if (Place.Part == ArchivePart::Stamp) end = std::min(end, nameEnd + 4);
    }
    return end;
  }

  // 1: [From, To) of the part differs from what it was; -1: it cannot be
  // told; 0: it is as it was.
  int Check(unsigned V, int64_t From, int64_t To, const companion::ArchivePlace& Place) {
    switch (Place.Part) {
      case ArchivePart::Name: {
        const IndexEntry& e = index_[static_cast<size_t>(Place.Entry)];
        return Differs(V, e.Offset, Int32Bytes(static_cast<int32_t>(e.Name.size())) + e.Name);
      }
      case ArchivePart::Stamp: {
        const IndexEntry& e = index_[static_cast<size_t>(Place.Entry)];
        return Differs(V, e.Offset + 4 + static_cast<int64_t>(e.Name.size()), Int32Bytes(e.Stamp));
      }
      case ArchivePart::VolumeChange: {
        TMemoryStream expected;
        format::WriteVolumeChange(expected, V + 1);
        return Differs(V, sizes_[V - 1] - 16, expected.Text());
      }
      case ArchivePart::EndMarker:
        return Differs(V, sizes_[V - 1] - 4, Int32Bytes(0));
      case ArchivePart::Header:
        return CheckHeader(V, From, To);
      case ArchivePart::Data:
        // A file the walk found damaged has its change shown already.
        if (Place.Entry >= 0 && std::binary_search(named_.begin(), named_.end(),
                                                   index_[static_cast<size_t>(Place.Entry)].Name))
          return 1;
        return StoredBytesIn(V, From, To, Place.Entry) ? -1 : 0;
    }
    return -1;
  }

  int Differs(unsigned V, int64_t At, const std::string& Expected) {
    std::string found(Expected.size(), '\0');
    const int64_t n = c_.Source().ReadAt(V, At, found.data(), found.size());
    return n != static_cast<int64_t>(found.size()) || found != Expected ? 1 : 0;
  }

  // The title's length and the file count are known; the title and the
  // total size are not.
  int CheckHeader(unsigned V, int64_t From, int64_t To) {
    if (V != 1) return -1;
    const int64_t first =
        !index_.empty() && index_.front().Volume == 1 ? index_.front().Offset : sizes_[0] - 4;
    const int64_t title = first - 12;
    if (title < 0) return -1;
    if (From < 4 && Differs(1, 0, Int32Bytes(static_cast<int32_t>(title))) != 0) return 1;
    if (To > 8 + title && Differs(1, 8 + title, Int32Bytes(files_)) != 0) return 1;
    return From < 8 + title ? -1 : 0;
  }

  // Whether [From, To) of Volume, in the data of entry Entry, holds a byte
  // of a piece stored uncompressed (or the layout cannot be followed to it).
  bool StoredBytesIn(unsigned V, int64_t From, int64_t To, int64_t Entry) {
    if (Entry < 0) return true;
    const IndexEntry& e = index_[static_cast<size_t>(Entry)];
    int64_t at = e.Volume == V ? e.Offset + 4 + static_cast<int64_t>(e.Name.size()) + 4 : 0;
    at += 4;  // the signature
    while (at < To) {
      std::string raw(4, '\0');
      if (c_.Source().ReadAt(V, at, raw.data(), 4) != 4) return true;
      const int32_t length = format::Int32At(reinterpret_cast<const unsigned char*>(raw.data()));
      if (length == 0) return false;  // the terminator
      if (length > format::kPieceSize || length < -format::kPieceSize) return true;
      const int64_t payload = at + 4;
      const int64_t end = payload + (length < 0 ? -static_cast<int64_t>(length) : length);
      if (length < 0 && payload < To && end > From) return true;
      at = end;
    }
    return false;
  }

  ArchiveCompanion& c_;
  const std::vector<IndexEntry>& index_;
  const std::vector<std::string>& named_;
  std::vector<int64_t> sizes_;
  int32_t files_ = 0;
};

}  // namespace

bool ReportChangedBlocks(RunContext& Run, ArchiveCompanion& Companion,
                         const std::vector<std::string>& Named, const std::vector<unsigned>& Skip) {
  static const std::vector<IndexEntry> kNoEntries;
  std::vector<std::string> named = Named;
  std::sort(named.begin(), named.end());
  // The index is read only when a block has changed: a sound archive of a
  // million files is checked without holding a million entries.
  const std::vector<IndexEntry>* index = nullptr;
  std::optional<Explainer> explainer;
  const auto explain = [&]() -> Explainer& {
    if (!explainer) {
      index = Companion.Index();
      if (index == nullptr) index = &kNoEntries;
      explainer.emplace(Companion, *index, named);
    }
    return *explainer;
  };
  std::vector<int64_t> told;           // entries reported here
  std::vector<ArchivePart> toldParts;  // parts of no entry reported here
  // Unread: the error the device gave for the block, which then is not
  // shown changed, only unread.
  const auto report = [&](unsigned Volume, const Part& P, int Unread) {
    std::string name;
    if (P.Entry >= 0) {
      name = (*index)[static_cast<size_t>(P.Entry)].Name;
      if (std::binary_search(named.begin(), named.end(), name) ||
          std::find(told.begin(), told.end(), P.Entry) != told.end())
        return;
      told.push_back(P.Entry);
    } else if (P.Kind == ArchivePart::Header) {
      if (std::find(toldParts.begin(), toldParts.end(), P.Kind) != toldParts.end()) return;
      toldParts.push_back(P.Kind);
    }
    Run.ReportDamage({name, static_cast<uint16_t>(Volume), P.At,
                      Unread != 0 ? "volume " + std::to_string(Volume) +
                                        " cannot be read: " + platform::ErrorText(Unread)
                                  : std::string(PartText(P.Kind))});
  };
  const uint32_t blockSize = Companion.Table().Identity.BlockSize;
  const auto changed = [&](const companion::DamagedRange& Range) {
    if (std::find(Skip.begin(), Skip.end(), Range.Volume) != Skip.end()) return;
    const int unread = Companion.Source().TakeRecentError();
    for (int64_t block = Range.Offset; block < Range.Offset + Range.Length; block += blockSize) {
      const int64_t end = std::min<int64_t>(block + blockSize, Range.Offset + Range.Length);
      std::vector<Part> parts = explain().Explain(Range.Volume, block, end);
      const bool shown =
          std::any_of(parts.begin(), parts.end(), [](const Part& P) { return P.Shown; });
      // Everything that can be compared is as it was, yet the block is
      // not: whatever it holds is suspect.
      if (parts.empty()) parts = explain().Explain(Range.Volume, block, end, true);
      for (const Part& part : parts)
        if (part.Shown || !shown) report(Range.Volume, part, unread);
    }
  };
  companion::CheckReport check;
  return companion::CheckVolumes(Companion.Source(), Companion.Reader(), Companion.Table(), changed,
                                 check, [&Run] {
                                   Run.ProcessMessages();
                                   return Run.Continues();
                                 });
}

}  // namespace kelmora

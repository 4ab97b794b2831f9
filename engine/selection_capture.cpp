// SPDX-License-Identifier: GPL-3.0-or-later
//
// The folders and links a backup records in its companion, found by the
// selection's walk (engine/selection.h).
#include <string>

#include "engine/companion/metadata.h"
#include "engine/selection.h"
#include "platform/names.h"
#include "platform/platform.h"

namespace kelmora {

void SelectionCapture::EnteredFolder(const std::string& Folder) {
  // Recorded under the name it would have as an entry: no separator at
  // its end. The root itself has no such name and nothing to give back.
  std::string name = Folder;
  while (name.size() > 1 && platform::IsPathSeparator(name.back())) name.pop_back();
  if (name.empty() || platform::IsPathSeparator(name.back())) return;
  Add(name, platform::PathKind::Directory);
}

void SelectionCapture::FoundLink(const std::string& Path) {
  Add(Path, platform::PathKind::Link);
}

void SelectionCapture::Add(const std::string& Name, platform::PathKind Kind) {
  if (!seen_.insert(Name).second) return;  // reached by two specifications
  platform::PathMetadata metadata;
  companion::MetadataRecord record;
  // A folder named as a source through a link is read through it, and is
  // no folder of its own to record.
  if (platform::ReadPathMetadata(Name, metadata) != 0 || metadata.Kind != Kind ||
      !companion::RecordOf(Name, metadata, record))
    return;
  records_.push_back(std::move(record));
}

}  // namespace kelmora

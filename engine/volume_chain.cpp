// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/volume_chain.h"

#include <utility>

#include "engine/archive_format.h"
#include "engine/run_state.h"
#include "platform/platform.h"

namespace kelmora {

VolumeChain::VolumeChain(const std::string& First)
    : first_(First),
      locate_([beside = platform::LinkTarget(First)](int Number) {
        return format::VolumeName(beside, static_cast<unsigned>(Number));
      }),
      asks_(true) {}

VolumeChain::VolumeChain(const std::string& First, VolumeLocator Locate)
    : first_(First), locate_(std::move(Locate)) {}

std::string VolumeChain::Name(int Number) const {
  if (Number <= 1) return first_;
  return locate_ ? locate_(Number) : std::string();
}

bool VolumeChain::Present(int Number) const {
  const std::string name = Name(Number);
  return !name.empty() && platform::FileExists(name);
}

std::string VolumeChain::Reach(RunContext& Run, int Number, Ask How) {
  std::string name = Name(Number);
  if (!asks_ || Number <= 1) return name;
  // After a volume the handler named in another folder, the next one is
  // looked for beside it.
  if (!named_.empty()) name = format::VolumeName(named_, static_cast<unsigned>(Number));
  RunState& state = Run.State();
  if (How == Ask::WhenMissing && platform::FileExists(name)) return name;
  do {
    Run.AskForDisk(static_cast<uint16_t>(Number));
    std::string named;
    named.swap(Run.Engine().NeededVolumeFile);
    if (!named.empty()) name = named_ = std::move(named);
  } while (!platform::FileExists(name) && state.Continue);
  return name;
}

int VolumeChain::NextNumber(const std::string& ChangeName, int Current) {
  const int number = format::VolumeNumber(format::VolumeDigits(ChangeName));
  return number > Current ? number : -1;
}

}  // namespace kelmora

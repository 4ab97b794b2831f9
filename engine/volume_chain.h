// SPDX-License-Identifier: GPL-3.0-or-later
//
// The volumes of one archive, in order: where each one lies, whether it is
// there, and the question that asks for one that is not. Every reader that
// goes on from one volume to the next (the walk, the listing, the title
// reader, the restore's guard of its own volumes, the older archive's
// ownership rule) names and finds its volumes here, so that they all agree
// where volume N is.
//
// Volumes lie beside the first one's link target, where a backup through a
// linked path wrote them: x.bkp, x.002, x.003 ... Once the need-disk
// handler named a file in another folder, the volumes after it are looked
// for beside that file first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kelmora {

class RunContext;

// The file that holds volume Number (2 and up) of an archive whose volumes
// do not lie under their usual names (a backup's temporary volumes).
using VolumeLocator = std::function<std::string(int Number)>;

class VolumeChain {
 public:
  // Volumes beside First's link target; a missing one is asked for.
  explicit VolumeChain(const std::string& First);
  // Volumes where Locate says: all at hand, none is ever asked for, and one
  // that is not there is missing.
  VolumeChain(const std::string& First, VolumeLocator Locate);

  // Volume 1's file, as given.
  const std::string& First() const { return first_; }
  // Where volume Number is looked for before anyone is asked: First for 1.
  std::string Name(int Number) const;
  // Whether that file is there now: a later volume already at hand.
  bool Present(int Number) const;
  // Whether a missing volume is asked for at all.
  bool Asks() const { return asks_; }

  enum class Ask : uint8_t {
    Always,       // at least once, so the handler sees every volume come
    WhenMissing,  // only while the file is not there
  };
  // The file of volume Number once it is there, asked for through Run's
  // need-disk question until it is or the run stops. Every round asks
  // again, so a volume that stays missing never keeps the run going on its
  // own; the caller tells a stop by the run's Continue. A chain that does
  // not ask gives Name(Number) as it is.
  std::string Reach(RunContext& Run, int Number, Ask How = Ask::Always);

  // The volume a volume-change entry names after volume Current; -1 when it
  // names none or does not count upwards, which is damage: a chain that goes
  // back could send a reader round for ever.
  static int NextNumber(const std::string& ChangeName, int Current);

 private:
  std::string first_;
  VolumeLocator locate_;
  bool asks_ = false;
  std::string named_;  // the last file the need-disk handler named
};

}  // namespace kelmora

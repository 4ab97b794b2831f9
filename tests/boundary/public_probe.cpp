// SPDX-License-Identifier: GPL-3.0-or-later
//
// Compiled as a front end is: the public headers are all it can reach.
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"

int ProbeVolumeLimit() { return kelmora::IsWorkableVolumeSize(kelmora::kSmallestVolumeSize); }

// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a restore needs to know about a target path before it writes there:
// whether something is in the way (a final symbolic link above all), and
// where a folder really is once every link is resolved.
#pragma once

#include <cstdint>
#include <string>

namespace kelmora::platform {

enum class PathKind { Missing, File, Directory, Link, Other };

struct PathInfo {
  PathKind Kind = PathKind::Missing;
  int32_t Stamp = -1;  // packed last-write time of a file, else -1
  // Why nothing could be looked at, when it was not that nothing is there
  // (a name too long for the system, a folder that may not be read);
  // Kind is then Missing.
  int Error = 0;
};

// With FollowLinks the final component is followed like FileExists does;
// without, a final symbolic link is reported as Link. One system call.
PathInfo InspectPath(const std::string& Path, bool FollowLinks);

// The canonical absolute path with every link resolved; "" when Path does
// not exist or cannot be resolved.
std::string ResolvedPath(const std::string& Path);

}  // namespace kelmora::platform

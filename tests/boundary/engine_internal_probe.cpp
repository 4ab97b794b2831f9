// SPDX-License-Identifier: GPL-3.0-or-later
//
// Must not compile as a front end: the archive's records are the engine's own.
#include "engine/archive_format.h"

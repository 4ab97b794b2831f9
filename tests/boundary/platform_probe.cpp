// SPDX-License-Identifier: GPL-3.0-or-later
//
// Must not compile as a front end: the platform layer is the engine's own.
#include "platform/platform.h"

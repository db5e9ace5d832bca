// Apply mode: confirms with the player, then installs the package attached
// to the program's own file into the working directory.
#pragma once

#include "platform/platform.h"

namespace updater::entry {

// Apply mode for the package at the end of `self_path`; reports the outcome
// in message boxes. True when the update completed or the player said No;
// false on every failure, a copy with no package included.
bool ApplyPackage(const WString& self_path);

}  // namespace updater::entry

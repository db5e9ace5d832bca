// Apply mode: confirms with the player, then installs the package attached
// to the program's own file into the working directory.
#pragma once

#include "platform/platform.h"

namespace updater::entry {

// The exit codes of apply mode, so that a launcher tells them apart.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;    // every failure box, and a copy with no package
inline constexpr int kExitDeclined = 3;  // No, or a question that could not be shown

// Apply mode for the package at the end of `self_path`; reports the outcome
// in message boxes and returns the exit code.
int ApplyPackage(const WString& self_path);

}  // namespace updater::entry

// Start-up: splits the command line and runs exactly one mode.
#pragma once

#include <vector>

#include "platform/platform.h"

namespace updater::entry {

// True when the arguments select build mode: exactly "-l" (either case) and an output.
bool IsBuildCommand(const std::vector<WString>& args);

// Runs the mode the process command line selects. Returns the exit code: 0
// when the build finished or the update completed; 1 on every failure (the
// ERROR, not-installed and failure boxes, no package); 3 when the player
// said No or could not be asked.
int RunUpdater();

}  // namespace updater::entry

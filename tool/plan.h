// `updatepkg plan`: a dry run of an update against a game folder. It reads
// the folder as the updater would and prints, file by file, what the update
// would do there, writing nothing.
#pragma once

#include <string>

namespace updater::tool {

// Prints the plan of `update` over the folder `dir` (JSON with `json`);
// kOk when the update would apply, kFault when it would fail (naming the
// first file) or cannot be read, kUsage for a path of the wrong kind.
int RunPlan(const std::string& update, const std::string& dir, bool json);

}  // namespace updater::tool

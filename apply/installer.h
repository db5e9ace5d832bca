// Installs a whole package into a folder, all or nothing: every file is first
// staged beside its target, then all of them are moved into place; any
// failure puts back every old file and removes everything new.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "apply/install_report.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::apply {

// Told the package bytes staged so far and their total.
using InstallProgress = std::function<void(int64_t done, int64_t total)>;

// Installs the package from the stream's position (at the first record) up
// to the trailer at `payload_end` into `root`, holding the product's install
// lock `lock_name` on it. An earlier install into `root` that was cut off is
// undone first. No failure when every file is in place with its times;
// otherwise `root` is as it was before, and the failure says why. `report`,
// where given, is told what a finished install did.
Failure InstallPackage(platform::File& package, int64_t payload_end, const WString& root,
                       const WString& lock_name, const InstallProgress& progress = nullptr,
                       InstallReport* report = nullptr);

}  // namespace updater::apply

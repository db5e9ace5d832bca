// Installs a whole package into a folder, all or nothing: every file is first
// staged beside its target, then all of them are moved into place; any
// failure puts back every old file and removes everything new.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/file.h"
#include "platform/platform.h"

// Told the package bytes staged so far and their total.
using InstallProgress = std::function<void(int64_t done, int64_t total)>;

// Why an install failed: the step, the path it acted on, and the OS's error
// code (0 where the package itself is at fault).
struct InstallFailure {
  const char16_t* step = u"";
  WString path;
  int os_error = 0;
};

// Installs the package from the stream's position (at the first record) up
// to the trailer at `payload_end` into `root`. An earlier install into `root`
// that was cut off is undone first. True when every file is in place with
// its times; false with `root` as it was before, and the cause in `failure`.
bool InstallPackage(platform::File& package, int64_t payload_end, const WString& root,
                    const InstallProgress& progress = nullptr, InstallFailure* failure = nullptr);

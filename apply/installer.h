// Installs a whole package into a folder, all or nothing: every file is first
// staged beside its target, then all of them are moved into place; any
// failure puts back every old file and removes everything new.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "apply/phase_times.h"
#include "package/failure.h"
#include "package/record_reader.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace updater::apply {

// Told the package bytes staged so far and their total.
using InstallProgress = std::function<void(int64_t done, int64_t total)>;

// What a finished install did.
struct InstallReport {
  int written = 0;  // files placed or replaced
  int removed = 0;  // files removed
  int current = 0;  // records whose target already was as they leave it
  // Files a removal left in place, because they are not the version it
  // removes (a player's edit, or something else at that name).
  std::vector<WString> kept;
  // Records that know several old versions (an update from more than one
  // release), how many of them found a version of each release installed,
  // and the releases' labels, where the package names them.
  int versioned = 0;
  int release_matches[package::kMaxReleases] = {};
  std::vector<WString> releases;
  PhaseTimes phases;  // where its time went, in a timing build (else all zero)
};

// Appends to `line` which release a finished install found, for an update
// from several: "; from 2.0" where every file that tells them apart matched
// one, else how many files matched each.
void AppendMatchedReleases(WString& line, const InstallReport& report);

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

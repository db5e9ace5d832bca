// What an install did, or what a dry run found it would do: the staging
// counts it as it goes, and a finished install hands it over whole.
#pragma once

#include <cstdint>
#include <vector>

#include "apply/phase_times.h"
#include "package/record_reader.h"
#include "platform/platform.h"

namespace updater::apply {

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

// Counts a record that knows the old versions of several releases, whose
// installed file matched a version of `releases` (a bit each; 0 for none).
void NoteMatch(InstallReport& report, const package::Record& record, uint32_t releases);

// Appends to `line` which release a finished install found, for an update
// from several: "; from 2.0" where every file that tells them apart matched
// one, else how many files matched each.
void AppendMatchedReleases(WString& line, const InstallReport& report);

}  // namespace updater::apply

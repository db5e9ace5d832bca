#include "apply/install_report.h"

namespace updater::apply {

void NoteMatch(InstallReport& report, const package::Record& record, uint32_t releases) {
  // A plain removal ("gone") tells no releases apart.
  if (record.versions[0].releases == 0) return;
  ++report.versioned;
  for (int i = 0; i < package::kMaxReleases; ++i) report.release_matches[i] += releases >> i & 1;
}

// Appends which release the game was, for an update from several: the ones
// every file that tells them apart matched, else how many matched each.
void AppendMatchedReleases(WString& line, const InstallReport& report) {
  if (report.versioned == 0 || report.releases.empty()) return;
  const char16_t* joint = u"; from ";
  for (size_t i = 0; i < report.releases.size(); ++i) {
    if (report.release_matches[i] != report.versioned) continue;
    line += joint;
    package::AppendReleaseName(line, report.releases, i);
    joint = u" or ";
  }
  if (*joint == u' ') return;
  joint = u"; files matched: ";
  for (size_t i = 0; i < report.releases.size(); ++i) {
    line += joint;
    package::AppendReleaseName(line, report.releases, i);
    line.append(u" ").append(Decimal(report.release_matches[i]));
    line.append(u"/").append(Decimal(report.versioned));
    joint = u", ";
  }
}

}  // namespace updater::apply

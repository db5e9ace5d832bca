// `updatepkg list`: the records of an update, a row each, or as JSON.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "package/package_index.h"
#include "package/record_reader.h"
#include "tool/commands.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

// FILETIME as ISO 8601 UTC to 100 ns: 2024-05-01T12:00:00.1234567Z.
std::string IsoTime(FileTime time) {
  constexpr uint64_t kTicksPerDay = 864000000000u;
  int64_t days = static_cast<int64_t>(time / kTicksPerDay) - 134774;  // 1601-01-01 to 1970-01-01
  uint64_t ticks = time % kTicksPerDay;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  uint64_t seconds = ticks / 10000000;
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:07}Z", year, month, day, seconds / 3600,
                     seconds / 60 % 60, seconds % 60, ticks % 10000000);
}

std::string HexDigest(const uint8_t (&digest)[32]) {
  std::string hex;
  for (uint8_t byte : digest) hex += fmt::format("{:02x}", byte);
  return hex;
}

// The word list and build use for a record's kind.
const char* KindWord(package::RecordKind kind) {
  static const char* const kWords[] = {"file", "delta", "remove", "deltas"};
  return kWords[static_cast<int>(kind)];
}

// The old versions of a record, for list --json.
nlohmann::json VersionsJson(const package::Record& e, const std::vector<WString>& releases) {
  nlohmann::json versions = nlohmann::json::array();
  for (int i = 0; i < e.version_count; ++i) {
    const package::Version& v = e.versions[i];
    nlohmann::json item = {{"size", v.size},
                           {"sha256", HexDigest(v.hash)},
                           {"releases", ReleaseNames(v.releases, releases)}};
    if (e.kind == package::RecordKind::kChoice) {
      item["old_name"] = Utf8(e.old_names[i]);
      item["patch"] = v.patch;
    }
    versions.push_back(item);
  }
  return versions;
}

// What list reads of an update: its records, label and releases.
struct Listing {
  std::vector<package::IndexedEntry> entries;
  std::optional<WString> label;
  std::vector<WString> releases;
  std::string program;
};

// One record as list --json gives it.
nlohmann::json EntryJson(const package::IndexedEntry& entry, const Listing& listing, bool hashes) {
  const package::Record& e = entry.record;
  nlohmann::json item = {{"kind", KindWord(e.kind)},
                         {"name", Utf8(e.name)},
                         {"size", entry.size},
                         {"packed_size", entry.packed_size}};
  if (e.kind != package::RecordKind::kRemove) {
    item["creation"] = IsoTime(e.times.creation);
    item["last_access"] = IsoTime(e.times.last_access);
    item["last_write"] = IsoTime(e.times.last_write);
  }
  item["offset"] = e.offset;
  if (e.is_delta()) item["old_size"] = e.delta.old_size;
  if (e.is_delta() && e.old_name != e.name) item["old_name"] = Utf8(e.old_name);
  if (e.kind == package::RecordKind::kChoice || e.version_count > 1 || e.current_in != 0) {
    item["versions"] = VersionsJson(e, listing.releases);
    item["current_in"] = ReleaseNames(e.current_in, listing.releases);
  }
  if (e.kind == package::RecordKind::kChoice) item["whole"] = e.whole_length != 0;
  if (hashes) item["sha256"] = HexDigest(entry.sha256);
  return item;
}

void PrintJson(const Listing& listing, bool hashes) {
  nlohmann::json out = nlohmann::json::array();
  for (const package::IndexedEntry& entry : listing.entries) {
    out.push_back(EntryJson(entry, listing, hashes));
  }
  nlohmann::json json = {{"program", listing.program}, {"entries", out}};
  if (listing.label) json["label"] = Utf8(*listing.label);
  if (!listing.releases.empty()) {
    json["releases"] =
        ReleaseNames(package::AllReleases(listing.releases.size()), listing.releases);
  }
  fmt::print("{}\n", json.dump(2));
}

// What a patch record says after its name: the old file, or the versions.
std::string PatchedFrom(const package::Record& e) {
  std::string from;
  if (e.is_delta()) from = fmt::format("  (patches {} bytes", e.delta.old_size);
  if (e.is_delta() && e.old_name != e.name) from += " of " + Utf8(e.old_name);
  if (e.is_delta()) from += ")";
  if (e.kind == package::RecordKind::kChoice) {
    from = fmt::format("  ({} from {}{})", Count(e.patch_count, "patch", "patches"),
                       Count(e.version_count, "version", "versions"),
                       e.whole_length != 0 ? ", and whole" : "");
  }
  return from;
}

void PrintTable(const Listing& listing, bool hashes) {
  fmt::print("program: {}\n", listing.program);
  if (listing.label) fmt::print("version label: \"{}\"\n", Utf8(*listing.label));
  if (!listing.releases.empty()) {
    fmt::print(
        "made from: {}\n",
        fmt::join(ReleaseNames(package::AllReleases(listing.releases.size()), listing.releases),
                  ", "));
  }
  int64_t size = 0, packed = 0;
  fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}\n", "kind", "size", "packed", "last write (UTC)",
             hashes ? fmt::format("{:<64}  ", "sha256") : "", "name");
  for (const package::IndexedEntry& entry : listing.entries) {
    const package::Record& e = entry.record;
    bool removal = e.kind == package::RecordKind::kRemove;
    std::string hash = hashes ? HexDigest(entry.sha256) + "  " : "";
    fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}{}\n", KindWord(e.kind), entry.size,
               entry.packed_size, removal ? "-" : IsoTime(e.times.last_write), hash, Utf8(e.name),
               PatchedFrom(e));
    if (!removal) size += entry.size;
    packed += entry.packed_size;
  }
  fmt::print("{:>19} {:>12}  {}\n", size, packed,
             Count(static_cast<int64_t>(listing.entries.size()), "entry", "entries"));
}

}  // namespace

int RunList(const ListRequest& request) {
  if (int code = CheckPathArgument("UPDATE", request.update, PathKind::kFile)) return code;
  Listing listing;
  Failure failure = package::ReadPackageIndex(
      PathArgument(request.update),
      [&](const package::IndexedEntry& e) { listing.entries.push_back(e); },
      request.hashes ? package::IndexReading::kHashed : package::IndexReading::kChecked,
      &listing.label, &listing.releases);
  if (failure.failed()) return Report(request.update, failure);
  listing.program = ProgramName(PathArgument(request.update));
  if (request.json) {
    PrintJson(listing, request.hashes);
  } else {
    PrintTable(listing, request.hashes);
  }
  return kOk;
}

}  // namespace updater::tool

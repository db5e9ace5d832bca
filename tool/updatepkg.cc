// updatepkg: the studio's tool to build, list, verify and extract update
// packages. The command line becomes one request here; a build becomes a
// plan (build_plan.h) before it runs. The packages are read and written by
// the updater's own library.
//
// Exit codes: 0 success (plan: the update would apply), 1 a package or file
// is at fault (plan: it would fail), 2 a usage error.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apply/installer.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "package/package_index.h"
#include "package/record_reader.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "product/product.h"
#include "tool/build_plan.h"
#include "tool/plan.h"
#include "tool/progress.h"
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

int RunList(const std::string& update, bool json, bool hashes) {
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  std::vector<package::IndexedEntry> entries;
  std::optional<WString> label;
  std::vector<WString> releases;
  Failure failure = package::ReadPackageIndex(
      PathArgument(update), [&](const package::IndexedEntry& e) { entries.push_back(e); }, hashes,
      &label, &releases);
  if (failure.failed()) return Report(update, failure);
  std::string program = ProgramName(PathArgument(update));
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const package::IndexedEntry& entry : entries) {
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
        item["versions"] = VersionsJson(e, releases);
        item["current_in"] = ReleaseNames(e.current_in, releases);
      }
      if (e.kind == package::RecordKind::kChoice) item["whole"] = e.whole_length != 0;
      if (hashes) item["sha256"] = HexDigest(entry.sha256);
      out.push_back(item);
    }
    nlohmann::json listing = {{"program", program}, {"entries", out}};
    if (label) listing["label"] = Utf8(*label);
    if (!releases.empty())
      listing["releases"] = ReleaseNames(AllReleases(releases.size()), releases);
    fmt::print("{}\n", listing.dump(2));
    return kOk;
  }
  fmt::print("program: {}\n", program);
  if (label) fmt::print("version label: \"{}\"\n", Utf8(*label));
  if (!releases.empty()) {
    fmt::print("made from: {}\n",
               fmt::join(ReleaseNames(AllReleases(releases.size()), releases), ", "));
  }
  int64_t size = 0, packed = 0;
  fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}\n", "kind", "size", "packed", "last write (UTC)",
             hashes ? fmt::format("{:<64}  ", "sha256") : "", "name");
  for (const package::IndexedEntry& entry : entries) {
    const package::Record& e = entry.record;
    std::string from;
    if (e.is_delta()) from = fmt::format("  (patches {} bytes", e.delta.old_size);
    if (e.is_delta() && e.old_name != e.name) from += " of " + Utf8(e.old_name);
    if (e.is_delta()) from += ")";
    if (e.kind == package::RecordKind::kChoice) {
      from = fmt::format("  ({} from {}{})", Count(e.patch_count, "patch", "patches"),
                         Count(e.version_count, "version", "versions"),
                         e.whole_length != 0 ? ", and whole" : "");
    }
    bool removal = e.kind == package::RecordKind::kRemove;
    std::string hash = hashes ? HexDigest(entry.sha256) + "  " : "";
    fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}{}\n", KindWord(e.kind), entry.size,
               entry.packed_size, removal ? "-" : IsoTime(e.times.last_write), hash, Utf8(e.name),
               from);
    if (!removal) size += entry.size;
    packed += entry.packed_size;
  }
  fmt::print("{:>19} {:>12}  {}\n", size, packed,
             Count(static_cast<int64_t>(entries.size()), "entry", "entries"));
  return kOk;
}

// The name of the entry at fault as list names it (".\\data\\a.pak"), or
// null where the fault is not an entry's or came before its name.
nlohmann::json EntryNameOf(const Failure& failure) {
  if (failure.entry == 0 || failure.path.empty()) return nullptr;
  WString name = failure.path;  // joined to ".\\", which the join drops
  if (name.compare(0, 2, u".\\") != 0) name = u".\\" + name;
  return Utf8(name);
}

// Warns where an update's name and its program disagree.
void WarnIfNamedAmiss(const std::string& update, const std::string& program) {
  if (std::optional<std::string> amiss = NamedAmiss(update, program)) {
    fmt::print(stderr, "updatepkg: warning: {}\n", *amiss);
  }
}

int RunVerify(const std::string& update, bool json) {
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  Progress progress(std::move(platform::FileSize(PathArgument(update))).value_or(0));
  int entries = 0;
  std::optional<WString> label;
  Failure failure = package::ReadPackageIndex(
      PathArgument(update),
      [&](const package::IndexedEntry& e) {
        ++entries;
        progress.Update(e.record.offset);
      },
      false, &label);
  progress.End();  // what follows on lines of its own
  std::string program = ProgramName(PathArgument(update));
  WarnIfNamedAmiss(update, program);
  if (json) {
    nlohmann::json fault = nullptr;
    if (failure.failed()) {
      fault = {{"entry", failure.entry},
               {"offset", failure.offset},
               {"reason", Describe(failure.cause)},
               {"name", EntryNameOf(failure)}};
    }
    fmt::print("{}\n", nlohmann::json{{"update", update},
                                      {"sound", !failure.failed()},
                                      {"entries", entries},
                                      {"program", program},
                                      {"label", label ? nlohmann::json(Utf8(*label)) : nullptr},
                                      {"fault", fault}}
                           .dump(2));
    return failure.failed() ? kFault : kOk;
  }
  if (failure.failed()) return Report(update, failure);
  fmt::print("{}: sound, {}, carries {}\n", update, Count(entries, "entry", "entries"),
             AProgram(program));
  return kOk;
}

// Where the install's time went, where a timing build measured it.
void PrintPhases(apply::PhaseTimes phases) {
  double total = 0;
  for (double seconds : phases.seconds) total += seconds;
  if (total == 0) return;
  phases.seconds[apply::kInflate] -= phases.seconds[apply::kWrite];  // timed inside it
  std::string line;
  for (int i = 0; i < apply::kPhaseCount; ++i) {
    line +=
        fmt::format("{}{} {:.3f}", i == 0 ? "" : ", ", apply::kPhaseNames[i], phases.seconds[i]);
  }
  fmt::print("phases (s): {}\n", line);
}

int RunExtract(const std::string& update, const std::string& dir) {
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  WString typed = PathArgument(dir);
  if (!platform::GetFileId(typed)) {
    platform::Status made = platform::MakeFolder(typed);
    if (!made) return Report(dir, Fail(Cause::kCreateFolder, typed, made));
  }
  if (int code = CheckPathArgument("DIR", dir, PathKind::kFolder)) return code;
  // Joined to entry names only in its real form: "..\\dest" as text would lose its "..".
  platform::Result<WString> resolved = platform::ResolvedPath(typed);
  if (!resolved) return Report(dir, Fail(Cause::kCreateFolder, typed, resolved.status()));
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = package::OpenPackage(PathArgument(update), package, payload_end);
  if (failure.failed()) return Report(update, failure);
  Progress progress(payload_end - package.Tell());
  apply::InstallReport report;
  failure = apply::InstallPackage(
      package, payload_end, *resolved, product::kInstallLock,
      [&](int64_t done, int64_t) { progress.Update(done); }, &report);
  progress.End();
  if (failure.entry != 0) return Report(update, failure);  // the package is at fault
  if (failure.failed()) {
    failure.path = platform::DisplayPath(failure.path);
    return PrintFault(dir, Utf8(FailureText(failure)) + " (nothing was changed)");
  }
  std::string kept;
  for (const WString& name : report.kept) kept += " " + Utf8(name);
  if (!kept.empty()) {
    kept = "; kept " +
           Count(static_cast<int64_t>(report.kept.size()), "changed file:", "changed files:") +
           kept;
  }
  WString matched;  // which release the folder was, for an update from several
  apply::AppendMatchedReleases(matched, report);
  fmt::print("{}: {} written, {} removed, {} already current{}{}\n", dir,
             Count(report.written, "file", "files"), report.removed, report.current, kept,
             Utf8(matched));
  PrintPhases(report.phases);
  return kOk;
}

// Everything the command line asked, once parsed.
struct Request {
  enum class Command { kHelp, kBuild, kList, kVerify, kExtract, kPlan } command = Command::kHelp;
  BuildArgs build;
  std::string update, dir;
  bool json = false;
  bool hashes = false;
  ProgressMode progress = ProgressMode::kTerminal;
};

void AddBuildOptions(CLI::App& build, BuildArgs& args) {
  build.add_option("SRC_DIR", args.source, "the tree to pack, as -l packs ./src")->required();
  build.add_option("-o,--output", args.output, "the update to write")->required();
  build.add_option("--stub", args.stub,
                   "the program to put first (default: the shipped Windows updater.exe "
                   "beside updatepkg, in ../share/tessaran-updater or in ../windows)");
  build.add_flag("-v,--verbose", args.verbose, "trace every folder and file met");
  build
      .add_option("--threads", args.threads,
                  "compressing threads (default: one per processor; the bytes are the same)")
      ->check(CLI::Range(1, 1024));
  CLI::Option* changed_since =
      build.add_option("--changed-since", args.changed_since,
                       "pack only files new or changed since this release tree");
  CLI::Option* delta_from =
      build
          .add_option("--delta-from", args.delta_from,
                      "as --changed-since, and pack a changed file as its difference from the "
                      "file it replaces where that is smaller; again for each release the "
                      "update is to bring up to date, DIR=LABEL to name it in the debug line")
          ->expected(1)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->excludes(changed_since);
  build
      .add_flag("--whole-fallback", args.whole_fallback,
                "with --delta-from: carry each patched file whole too, for a game whose file "
                "is none of the versions patched (edited or damaged): the update repairs it")
      ->needs(delta_from);
  build.add_flag("--keep-removed", args.keep_removed,
                 "with --changed-since or --delta-from: leave the files the old release had "
                 "and this one has not, instead of removing them");
  build
      .add_option("--version-label", args.version_label,
                  "the label the player's boxes show after the title, such as \"(1.2.0.0)\"; "
                  "empty asks the plain question (default: the program's own)")
      ->check([](const std::string& text) {
        return package::IsAcceptableLabel(platform::FromUtf8Escaped(text))
                   ? ""
                   : "at most 64 characters of text, no control characters";
      });
  build.add_flag("--json", args.json,
                 "print a JSON summary: program, entries by kind, bytes, size, gone files");
  build.add_flag("--fail-if-empty", args.fail_if_empty,
                 "exit 1 when the update carries no files (it is written all the same)");
}

// Parses `argv` into `request`; -1 when the request is to be run, else the
// exit code (help printed, or a usage error reported).
int ParseRequest(std::vector<char*>& argv, Request& request) {
  CLI::App app{"Builds, lists, verifies and extracts Tessaran update packages."};
  app.name("updatepkg");
  app.require_subcommand(1);
  // On Windows the library would take "/builds/update.exe" for a switch; it
  // is a path from the root of the current drive. Subcommands inherit this.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", "updatepkg 1.0.1.0");
  app.fallthrough();  // --quiet and --progress after the subcommand too
  bool quiet = false, lines = false;
  app.add_flag("--quiet", quiet, "draw no progress");
  app.add_flag("--progress", lines,
               "draw progress where standard error is no terminal too: a line per 5 %");
  CLI::App* help = app.add_subcommand("help", "Prints this help.");
  CLI::App* build = app.add_subcommand(
      "build", "Writes OUTPUT as the updater program followed by the package of SRC_DIR.");
  AddBuildOptions(*build, request.build);
  CLI::App* list = app.add_subcommand("list", "Lists the entries of UPDATE.");
  list->add_option("UPDATE", request.update, "an update or package file")->required();
  list->add_flag("--json", request.json, "print JSON: the program and an array of entries");
  list->add_flag("--hashes", request.hashes, "add each file's SHA-256 (inflates every entry)");
  CLI::App* verify = app.add_subcommand("verify", "Checks UPDATE as the updater would.");
  verify->add_option("UPDATE", request.update, "an update or package file")->required();
  verify->add_flag("--json", request.json, "print the verdict as JSON");
  CLI::App* extract =
      app.add_subcommand("extract", "Recreates the files of UPDATE under DIR, all or nothing.");
  extract->add_option("UPDATE", request.update, "an update or package file")->required();
  extract->add_option("DIR", request.dir, "the folder to extract into")->required();
  CLI::App* plan = app.add_subcommand(
      "plan", "Prints what UPDATE would do to the game in GAME_DIR, file by file; writes nothing.");
  plan->add_option("UPDATE", request.update, "an update or package file")->required();
  plan->add_option("GAME_DIR", request.dir, "the game's folder")->required();
  plan->add_flag("--json", request.json, "print the plan as JSON");
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
  }
  if (*help) {
    fmt::print("{}", app.get_formatter()->make_help(&app, "updatepkg", CLI::AppFormatMode::Normal));
    return kOk;
  }
  if (quiet && lines) {
    fmt::print(stderr, "updatepkg: --quiet and --progress exclude each other\n");
    return kUsage;
  }
  request.progress = quiet ? ProgressMode::kNone : lines ? ProgressMode::kLines : request.progress;
  using Command = Request::Command;
  request.command = *build    ? Command::kBuild
                    : *list   ? Command::kList
                    : *verify ? Command::kVerify
                    : *plan   ? Command::kPlan
                              : Command::kExtract;
  return -1;
}

int Run(const Request& request) {
  SetProgressMode(request.progress);
  switch (request.command) {
    case Request::Command::kBuild: {
      BuildPlan plan;
      int planned = PlanBuild(request.build, plan);
      return planned != kOk ? planned : RunBuild(plan);
    }
    case Request::Command::kList:
      return RunList(request.update, request.json, request.hashes);
    case Request::Command::kVerify:
      return RunVerify(request.update, request.json);
    case Request::Command::kExtract:
      return RunExtract(request.update, request.dir);
    case Request::Command::kPlan:
      return RunPlan(request.update, request.dir, request.json);
    case Request::Command::kHelp:
      break;
  }
  return kOk;
}

}  // namespace

}  // namespace updater::tool

int main() {
  using namespace updater;
  // Windows' C library buffers stderr whole when it is a pipe: a CI log would
  // get every progress line at the end, and nothing at all from a run that
  // ends without flushing. Each message goes out as it is printed.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::vector<std::string> args;
  for (const WString& arg : platform::CommandLineArguments().value_or(std::vector<WString>{})) {
    args.push_back(tool::Utf8(arg));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  tool::Request request;
  int parsed = tool::ParseRequest(argv, request);
  return parsed >= 0 ? parsed : tool::Run(request);
}

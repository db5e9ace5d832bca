// updatepkg: the studio's tool to build, list, verify and extract update
// packages. Only the command line and the output live here; the packages
// are read and written by the updater's own library.
//
// Exit codes: 0 success, 1 a package or file is at fault, 2 a usage error.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "apply/installer.h"
#include "entry/product_texts.h"
#include "pack/package_builder.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "package/package_index.h"
#include "package/record_reader.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "tool/delta_encoder.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace updater::tool {
namespace {

constexpr int kOk = 0;
constexpr int kFault = 1;
constexpr int kUsage = 2;

std::string Utf8(const WString& text) { return platform::ToUtf8(text); }

// A path as typed, in the library's form ("\" between components).
WString PathArgument(const std::string& text) {
  WString path = platform::FromUtf8Escaped(text);
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

int Fail(const std::string& file, const std::string& reason) {
  fmt::print(stderr, "updatepkg: {}: {}\n", file, reason);
  return kFault;
}

// A progress line on stderr when it is a terminal: bytes done of total, rate, time left.
// How progress is shown: redrawn on a terminal; with --progress also as a
// line per 5 % where standard error is a log; with --quiet not at all.
enum class ProgressMode { kTerminal, kLines, kNone };
ProgressMode g_progress_mode = ProgressMode::kTerminal;

class Progress {
 public:
  explicit Progress(int64_t total) : total_(total), shown_(Shown()) {}
  static bool Shown() {
    bool terminal = isatty(fileno(stderr)) != 0;
    return g_progress_mode == ProgressMode::kLines ||
           (g_progress_mode == ProgressMode::kTerminal && terminal);
  }
  ~Progress() {
    if (drawn_) std::fputs("\n", stderr);
  }
  void Update(int64_t done) {
    if (!shown_) return;
    if (isatty(fileno(stderr)) == 0) return Line(done);
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    int filled = total_ > 0 ? static_cast<int>(30 * done / total_) : 30;
    fmt::print(stderr, "\r[{:<30}] {:.1f}/{:.1f} MB  {:.1f} MB/s  {:.0f} s left ",
               std::string(static_cast<size_t>(std::clamp(filled, 0, 30)), '#'), done / 1e6,
               total_ / 1e6, rate / 1e6, left);
    drawn_ = true;
  }

 private:
  // One line for each 5 % passed, for logs that keep every line.
  void Line(int64_t done) {
    int percent = total_ > 0 ? static_cast<int>(100 * done / total_) : 100;
    if (percent < next_percent_) return;
    fmt::print(stderr, "progress: {}% ({:.1f}/{:.1f} MB)\n", percent, done / 1e6, total_ / 1e6);
    next_percent_ = percent / 5 * 5 + 5;
  }

  using Clock = std::chrono::steady_clock;
  int next_percent_ = 0;
  int64_t total_;
  bool shown_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
};

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

// Reports `failure` of `file` on one line: where in the package, for a
// fault of one of its entries, then the cause, the path and the system's
// A path in the library's form ("\\" between components) as this system
// writes it, for messages.
WString AsTheSystemWritesIt(WString path) {
#ifndef _WIN32
  std::replace(path.begin(), path.end(), u'\\', u'/');
#endif
  return path;
}

// message. Every failure is the package's or a file's: exit code 1.
int Report(const std::string& file, const Failure& failure, const std::string& detail = "") {
  std::string where =
      failure.entry == 0 ? "" : fmt::format("entry {} at byte {}: ", failure.entry, failure.offset);
  Failure shown = failure;
  if (failure.entry != 0) shown.path.clear();  // the entry is named by its place
  shown.path = AsTheSystemWritesIt(shown.path);
  if (failure.cause == Cause::kPartialInTheWay) {  // the file in the way, as typed
    fmt::print(stderr,
               "updatepkg: {}.partial is in the way (another build, or a cut-off one): remove it\n",
               file);
    return kFault;
  }
  return Fail(file, where + Utf8(FailureText(shown)) + detail);
}

// Which rule the last name of `path` breaks, in words.
std::string RuleBroken(const WString& path) {
  switch (package::BrokenRule(path.substr(path.rfind(u'\\') + 1))) {
    case package::NameRule::kDots:
      return "an empty name, . or ..";
    case package::NameRule::kColon:
      return "a ':', which Windows takes for a drive or a stream";
    case package::NameRule::kSeparator:
      return "a '\\', a separator in the package";
    case package::NameRule::kForbidden:
      return "a control character or one of < > \" | ? *";
    case package::NameRule::kTrailingDotOrSpace:
      return "a trailing dot or space, which Windows drops";
    case package::NameRule::kNoUnicode:
      return "not valid Unicode";
    case package::NameRule::kDeviceName:
      return "a reserved device name";
    case package::NameRule::kNone:
      break;
  }
  return "it would lie in the updater's own .update-staging";
}

// The file of the tree at `source` that `path` clashes with: one equal to it
// ignoring case, or one that needs a folder where it is a file (or the reverse).
std::string ClashWith(const WString& path, const WString& source) {
  std::vector<pack::TreeFile> files;
  (void)pack::ListTreeFiles(source, files);
  WString mine = package::FoldCase(path);
  for (const pack::TreeFile& f : files) {
    WString other = package::FoldCase(f.path);
    if (f.path == path) continue;
    if (other == mine) return "a case twin of " + Utf8(AsTheSystemWritesIt(f.path));
    if (other.compare(0, mine.size() + 1, mine + u"\\") == 0 ||
        mine.compare(0, other.size() + 1, other + u"\\") == 0) {
      return "a file where " + Utf8(AsTheSystemWritesIt(f.path)) +
             " needs a folder, or the reverse";
    }
  }
  return "the same as another name, ignoring case";
}

// The shipped Windows updater.exe, where the build and `cmake --install`
// put it: beside updatepkg, in ../share/tessaran-updater (an install), or in
// ../windows (the build's presets); none when it is in none of them.
std::optional<WString> DefaultStub() {
  WString self = platform::OwnExecutablePath().value_or(WString());
  size_t slash = self.rfind(u'\\');
  WString folder = slash == WString::npos ? WString(u".") : self.substr(0, slash);
  for (const char16_t* place : {u"\\updater.exe", u"\\..\\share\\tessaran-updater\\updater.exe",
                                u"\\..\\windows\\updater.exe"}) {
    WString path = folder + place;
    if (platform::GetFileId(path) && !platform::IsFolder(path)) return path;
  }
  return std::nullopt;
}

// The program an update file carries, in the words list, verify and build print.
std::string ProgramName(const WString& path) {
  platform::Result<platform::File> file = platform::OpenFile(path, "rb");
  switch (file ? package::ReadProgramKind(*file) : package::ProgramKind::kUnknown) {
    case package::ProgramKind::kWindows32Gui:
      return "Windows 32-bit GUI";
    case package::ProgramKind::kWindows32Console:
      return "Windows 32-bit console";
    case package::ProgramKind::kWindows64:
      return "Windows 64-bit";
    case package::ProgramKind::kLinux:
      return "Linux";
    case package::ProgramKind::kUnknown:
      break;
  }
  return "unknown";
}

std::string HexDigest(const uint8_t (&digest)[32]) {
  std::string hex;
  for (uint8_t byte : digest) hex += fmt::format("{:02x}", byte);
  return hex;
}

// The folder a typed path lies in: everything before its last "\\".
WString FolderOf(const WString& path) {
  size_t slash = path.rfind(u'\\');
  if (slash == WString::npos) return u".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool SameFile(const WString& a, const WString& b) {
  platform::Result<platform::FileId> x = platform::GetFileId(a), y = platform::GetFileId(b);
  return x && y && *x == *y;
}

// Why writing `output` would destroy an input, or nothing: it lies in one of
// `trees` (told by identity, folder by folder up from it, not by the text),
// it is the stub, or it is one of `files`, the tree at `trees[0]` (listed
// here when the caller has not listed it).
std::optional<std::string> OverwritesAnInput(const WString& output,
                                             const std::vector<WString>& trees, const WString& stub,
                                             std::vector<pack::TreeFile> files) {
  platform::Result<WString> folder = platform::ResolvedPath(FolderOf(output));
  for (WString at = folder ? *folder : WString(); !at.empty() && at.back() != u':';) {
    for (const WString& tree : trees) {
      if (SameFile(at, tree)) return "lies inside " + Utf8(tree);
    }
    size_t slash = at.rfind(u'\\');
    at = slash == WString::npos || slash == 0 ? WString() : at.substr(0, slash);
  }
  platform::Result<platform::FileId> existing = platform::GetFileId(output);
  if (!existing) return std::nullopt;  // nothing there to lose
  if (SameFile(output, stub)) return "is the stub";
  if (files.empty()) (void)pack::ListTreeFiles(trees[0], files);
  for (const pack::TreeFile& f : files) {
    platform::Result<platform::FileId> id = platform::GetFileId(f.path);
    if (id && *id == *existing) return "is " + Utf8(f.path) + " of the source tree";
  }
  return std::nullopt;
}

struct BuildArgs {
  std::string source, output, stub, changed_since, delta_from;
  std::optional<std::string> version_label;
  int threads = 0;
  bool verbose = false;
  bool fail_if_empty = false;
  bool json = false;
  bool keep_removed = false;
};

// The summary of a build a script reads: the program, the entries by kind,
// the bytes they hold, the update's size, and the files gone since OLD_DIR.
void PrintBuildSummary(const BuildArgs& args, const std::vector<std::string>& gone) {
  WString output = PathArgument(args.output);
  int counts[3] = {};
  int64_t bytes = 0;
  (void)package::ReadPackageIndex(output, [&](const package::IndexedEntry& e) {
    ++counts[static_cast<int>(e.record.kind)];
    if (e.record.kind != package::RecordKind::kRemove) bytes += e.size;
  });
  nlohmann::json summary = {
      {"output", args.output},
      {"program", ProgramName(output)},
      {"entries", {{"file", counts[0]}, {"delta", counts[1]}, {"remove", counts[2]}}},
      {"bytes", bytes},
      {"size", std::move(platform::FileSize(output)).value_or(0)},
      {"gone", gone}};
  fmt::print("{}\n", summary.dump(2));
}

// The files OLD_DIR has and SRC_DIR (`files`) does not, into `gone`; the
// update removes them (`removals`, each with its size and hash) unless told
// to keep them. One SRC_DIR has under another case stays: on Windows it is
// the very file. Nonzero: the exit code of a failure.
int PlanRemovals(const BuildArgs& args, const std::vector<pack::TreeFile>& files,
                 const std::vector<pack::TreeFile>& old_files, std::vector<std::string>& gone,
                 std::vector<pack::BuildOptions::Removal>& removals) {
  std::set<WString> names, folded;
  for (const pack::TreeFile& f : files) {
    names.insert(f.name);
    folded.insert(package::FoldCase(f.name));
  }
  for (const pack::TreeFile& f : old_files) {
    if (names.count(f.name)) continue;
    gone.push_back(Utf8(f.name));
    if (args.keep_removed) continue;
    if (folded.count(package::FoldCase(f.name))) {
      fmt::print(stderr, "updatepkg: warning: {} stays: {} has it under another case\n",
                 Utf8(f.name), args.source);
      continue;
    }
    pack::BuildOptions::Removal removal{f.name, static_cast<uint64_t>(f.size), {}};
    if (!HashTreeFile(f.path, removal.sha256)) return Fail(Utf8(f.path), "cannot be read");
    removals.push_back(removal);
  }
  return kOk;
}

int RunBuild(BuildArgs args) {
  if (!args.delta_from.empty()) args.changed_since = args.delta_from;
  platform::Result<WString> source = platform::ResolvedPath(PathArgument(args.source));
  if (!source || !platform::IsFolder(*source)) return Fail(args.source, "not a folder");
  // The tree is listed ahead only for the progress line's total and for
  // --changed-since; the build itself walks it anyway.
  std::vector<pack::TreeFile> files;
  if (Progress::Shown() || !args.changed_since.empty()) {
    Failure listed = pack::ListTreeFiles(*source, files);
    if (listed.failed()) return Report(args.source, listed);
  }
  int64_t total = 0, done = 0;
  for (const pack::TreeFile& f : files) total += f.size;
  Progress progress(total);
  pack::BuildOptions options;
  options.threads = args.threads;
  options.trace = args.verbose;
  int packed = 0;
  options.progress = [&](int64_t bytes) {
    ++packed;
    progress.Update(done += bytes);
  };
  WString old_root;
  std::vector<std::string> gone;  // files of OLD_DIR that SRC_DIR no longer has
  std::vector<pack::TreeFile> old_files;
  if (!args.changed_since.empty()) {
    platform::Result<WString> resolved = platform::ResolvedPath(PathArgument(args.changed_since));
    if (!resolved || !platform::IsFolder(*resolved)) {
      return Fail(args.changed_since, "not a folder");
    }
    old_root = *resolved;
    Failure listed = pack::ListTreeFiles(old_root, old_files);
    if (listed.failed()) return Report(args.changed_since, listed);
    if (int code = PlanRemovals(args, files, old_files, gone, options.removals)) return code;
    options.include = [&](const platform::Folder& folder, const WString& leaf,
                          const WString& path) {
      std::optional<WString> name = platform::RelativePathTo(*source, path);
      std::optional<WString> old = name ? platform::AppendPath(old_root, *name) : std::nullopt;
      if (!old || !pack::SameFileBytes(folder, leaf, *old)) return true;
      progress.Update(done += std::move(platform::FileSize(path)).value_or(0));  // read, not packed
      return false;
    };
  }
  std::vector<WString> new_names;
  for (const pack::TreeFile& f : files) new_names.push_back(f.name);
  OldRelease old_release(std::move(old_files), new_names);
  if (!args.delta_from.empty()) {
    options.make_record = [&](package::ParallelDeflater& deflater, const WString& name,
                              const WString& path, const EntryTimes& times) {
      int64_t size = std::move(platform::FileSize(path)).value_or(0);
      const pack::TreeFile* from = old_release.SourceFor(name, path, size);
      if (!from) return std::optional<bool>();
      return std::optional<bool>(
          deflater.AddMade(DeltaRecordJob(name, path, from->name, from->path, times), size));
    };
  }
  if (args.version_label) options.label = platform::FromUtf8Escaped(*args.version_label);
  options.release_records = pack::WriteReleaseRecords;
  std::optional<WString> stub =
      args.stub.empty() ? DefaultStub() : std::optional<WString>(PathArgument(args.stub));
  if (!stub) {
    fmt::print(stderr,
               "updatepkg: no Windows updater.exe beside updatepkg, in "
               "../share/tessaran-updater or ../windows: name the program with --stub PROGRAM\n");
    return kUsage;
  }
  WString output = PathArgument(args.output);
  std::vector<WString> trees = {*source};
  if (!old_root.empty()) trees.push_back(old_root);
  if (std::optional<std::string> why = OverwritesAnInput(output, trees, *stub, std::move(files))) {
    fmt::print(stderr, "updatepkg: {}: the output would overwrite an input: it {}\n", args.output,
               *why);
    return kUsage;
  }
  Failure failure = pack::BuildUpdateFile(*source, *stub, output, options);
  if (failure.cause == Cause::kBadName) {
    return Report(args.output, failure, " (" + RuleBroken(failure.path) + ")");
  }
  if (failure.cause == Cause::kDuplicateName) {
    return Report(args.output, failure, " (" + ClashWith(failure.path, *source) + ")");
  }
  if (failure.failed()) return Report(args.output, failure);
  if (args.json) {
    PrintBuildSummary(args, gone);
  } else {
    fmt::print("{}: {} files packed, {} removed, carries a {} program\n", args.output, packed,
               options.removals.size(), ProgramName(output));
  }
  if (packed == 0 && options.removals.empty()) {
    fmt::print(stderr, "updatepkg: warning: {} carries no files: nothing is new or changed\n",
               args.output);
    if (args.fail_if_empty) return kFault;
  }
  return kOk;
}

// A folder given where an update belongs gets its own word.
bool IsFolderArgument(const std::string& update) {
  return platform::IsFolder(PathArgument(update));
}

// The word list and build use for a record's kind.
const char* KindWord(package::RecordKind kind) {
  static const char* const kWords[] = {"file", "delta", "remove"};
  return kWords[static_cast<int>(kind)];
}

int RunList(const std::string& update, bool json, bool hashes) {
  if (IsFolderArgument(update)) return Fail(update, "is a folder");
  std::vector<package::IndexedEntry> entries;
  std::optional<WString> label;
  Failure failure = package::ReadPackageIndex(
      PathArgument(update), [&](const package::IndexedEntry& e) { entries.push_back(e); }, hashes,
      &label);
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
      if (hashes) item["sha256"] = HexDigest(entry.sha256);
      out.push_back(item);
    }
    nlohmann::json listing = {{"program", program}, {"entries", out}};
    if (label) listing["label"] = Utf8(*label);
    fmt::print("{}\n", listing.dump(2));
    return kOk;
  }
  fmt::print("program: {}\n", program);
  if (label) fmt::print("version label: \"{}\"\n", Utf8(*label));
  int64_t size = 0, packed = 0;
  fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}\n", "kind", "size", "packed", "last write (UTC)",
             hashes ? fmt::format("{:<64}  ", "sha256") : "", "name");
  for (const package::IndexedEntry& entry : entries) {
    const package::Record& e = entry.record;
    std::string from;
    if (e.is_delta()) from = fmt::format("  (patches {} bytes", e.delta.old_size);
    if (e.is_delta() && e.old_name != e.name) from += " of " + Utf8(e.old_name);
    if (e.is_delta()) from += ")";
    bool removal = e.kind == package::RecordKind::kRemove;
    std::string hash = hashes ? HexDigest(entry.sha256) + "  " : "";
    fmt::print("{:<6} {:>12} {:>12}  {:<28}  {}{}{}\n", KindWord(e.kind), entry.size,
               entry.packed_size, removal ? "-" : IsoTime(e.times.last_write), hash, Utf8(e.name),
               from);
    if (!removal) size += entry.size;
    packed += entry.packed_size;
  }
  fmt::print("{:>19} {:>12}  {} entries\n", size, packed, entries.size());
  return kOk;
}

int RunVerify(const std::string& update, bool json) {
  if (IsFolderArgument(update)) return Fail(update, "is a folder");
  Progress progress(std::move(platform::FileSize(PathArgument(update))).value_or(0));
  int entries = 0;
  Failure failure =
      package::ReadPackageIndex(PathArgument(update), [&](const package::IndexedEntry& e) {
        ++entries;
        progress.Update(e.record.offset);
      });
  std::string program = ProgramName(PathArgument(update));
  bool exe = update.size() >= 4 &&
             package::FoldCase(PathArgument(update.substr(update.size() - 4))) == u".EXE";
  if (exe && program.rfind("Windows", 0) != 0) {
    fmt::print(stderr, "updatepkg: warning: {} is named .exe but carries no Windows program\n",
               update);
  }
  if (json) {
    nlohmann::json fault = nullptr;
    if (failure.failed()) {
      fault = {{"entry", failure.entry},
               {"offset", failure.offset},
               {"reason", Describe(failure.cause)}};
    }
    fmt::print("{}\n", nlohmann::json{{"update", update},
                                      {"sound", !failure.failed()},
                                      {"entries", entries},
                                      {"program", program},
                                      {"fault", fault}}
                           .dump(2));
    return failure.failed() ? kFault : kOk;
  }
  if (failure.failed()) return Report(update, failure);
  fmt::print("{}: sound, {} entries, carries a {} program\n", update, entries, program);
  return kOk;
}

int RunExtract(const std::string& update, const std::string& dir) {
  WString typed = PathArgument(dir);
  if (!platform::IsFolder(typed)) {
    platform::Status made = platform::MakeFolder(typed);
    if (!made) return Report(dir, Fail(Cause::kCreateFolder, typed, made));
  }
  // Joined to entry names only in its real form: "..\\dest" as text would lose its "..".
  platform::Result<WString> resolved = platform::ResolvedPath(typed);
  if (!resolved || !platform::IsFolder(*resolved)) return Fail(dir, "not a folder");
  platform::File package;
  int64_t payload_end = 0;
  Failure failure = package::OpenPackage(PathArgument(update), package, payload_end);
  if (failure.failed()) return Report(update, failure);
  Progress progress(payload_end - package.Tell());
  failure =
      apply::InstallPackage(package, payload_end, *resolved, entry::kProductTexts.install_lock,
                            [&](int64_t done, int64_t) { progress.Update(done); });
  if (failure.entry != 0) return Report(update, failure);  // the package is at fault
  if (failure.failed()) return Fail(dir, Utf8(FailureText(failure)) + " (nothing was changed)");
  return kOk;
}

}  // namespace

}  // namespace updater::tool

int main() {
  using namespace updater;
  using namespace updater::tool;
  std::vector<std::string> args;
  for (const WString& arg : platform::CommandLineArguments().value_or(std::vector<WString>{})) {
    args.push_back(Utf8(arg));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());

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
  BuildArgs build_args;
  CLI::App* build = app.add_subcommand(
      "build", "Writes OUTPUT as the updater program followed by the package of SRC_DIR.");
  build->add_option("SRC_DIR", build_args.source, "the tree to pack, as -l packs ./src")
      ->required();
  build->add_option("-o,--output", build_args.output, "the update to write")->required();
  build->add_option("--stub", build_args.stub,
                    "the program to put first (default: the shipped Windows updater.exe "
                    "beside updatepkg, in ../share/tessaran-updater or in ../windows)");
  build->add_flag("-v,--verbose", build_args.verbose, "trace every folder and file met");
  build
      ->add_option("--threads", build_args.threads,
                   "compressing threads (default: one per processor; the bytes are the same)")
      ->check(CLI::Range(1, 1024));
  CLI::Option* changed_since =
      build->add_option("--changed-since", build_args.changed_since,
                        "pack only files new or changed since this release tree");
  build
      ->add_option("--delta-from", build_args.delta_from,
                   "as --changed-since, and pack a changed file as its difference from the "
                   "file it replaces where that is less than half the size")
      ->excludes(changed_since);
  build->add_flag("--keep-removed", build_args.keep_removed,
                  "with --changed-since or --delta-from: leave the files the old release had "
                  "and this one has not, instead of removing them");
  build
      ->add_option("--version-label", build_args.version_label,
                   "the label the player's boxes show after the title, such as \"(1.2.0.0)\"; "
                   "empty asks the plain question (default: the program's own)")
      ->check([](const std::string& text) {
        return platform::FromUtf8Escaped(text).size() <= 64 ? "" : "at most 64 characters";
      });
  build->add_flag("--json", build_args.json,
                  "print a JSON summary: program, entries by kind, bytes, size, gone files");
  build->add_flag("--fail-if-empty", build_args.fail_if_empty,
                  "exit 1 when the update carries no files (it is written all the same)");
  std::string update, dir;
  bool json = false;
  bool hashes = false;
  CLI::App* list = app.add_subcommand("list", "Lists the entries of UPDATE.");
  list->add_option("UPDATE", update, "an update or package file")->required();
  list->add_flag("--json", json, "print JSON: the program and an array of entries");
  list->add_flag("--hashes", hashes, "add each file's SHA-256 (inflates every entry)");
  CLI::App* verify = app.add_subcommand("verify", "Checks UPDATE as the updater would.");
  verify->add_option("UPDATE", update, "an update or package file")->required();
  verify->add_flag("--json", json, "print the verdict as JSON");
  CLI::App* extract =
      app.add_subcommand("extract", "Recreates the files of UPDATE under DIR, all or nothing.");
  extract->add_option("UPDATE", update, "an update or package file")->required();
  extract->add_option("DIR", dir, "the folder to extract into")->required();
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
  g_progress_mode = quiet ? ProgressMode::kNone : lines ? ProgressMode::kLines : g_progress_mode;
  if (*build) return RunBuild(build_args);
  if (*list) return RunList(update, json, hashes);
  if (*verify) return RunVerify(update, json);
  return RunExtract(update, dir);
}

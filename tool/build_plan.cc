#include "tool/build_plan.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "package/entry_name.h"
#include "package/format.h"
#include "package/package_index.h"
#include "package/record_reader.h"
#include "platform/utf8.h"
#include "tool/delta_record.h"
#include "tool/old_release.h"
#include "tool/progress.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

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
    if (other == mine) return "a case twin of " + Shown(f.path);
    if (other.compare(0, mine.size() + 1, mine + u"\\") == 0 ||
        mine.compare(0, other.size() + 1, other + u"\\") == 0) {
      return "a file where " + Shown(f.path) + " needs a folder, or the reverse";
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
// it is the stub, or it is one of `listed`, the tree at `trees[0]` (listed
// here when the caller has not listed it).
std::optional<std::string> OverwritesAnInput(const WString& output,
                                             const std::vector<WString>& trees, const WString& stub,
                                             const std::vector<pack::TreeFile>& listed) {
  platform::Result<WString> folder = platform::ResolvedPath(FolderOf(output));
  for (WString at = folder ? *folder : WString(); !at.empty() && at.back() != u':';) {
    for (const WString& tree : trees) {
      if (SameFile(at, tree)) return "lies inside " + Shown(tree);
    }
    size_t slash = at.rfind(u'\\');
    at = slash == WString::npos || slash == 0 ? WString() : at.substr(0, slash);
  }
  platform::Result<platform::FileId> existing = platform::GetFileId(output);
  if (!existing) return std::nullopt;  // nothing there to lose
  if (SameFile(output, stub)) return "is the stub";
  std::vector<pack::TreeFile> files;
  if (listed.empty()) (void)pack::ListTreeFiles(trees[0], files);
  for (const pack::TreeFile& f : listed.empty() ? files : listed) {
    platform::Result<platform::FileId> id = platform::GetFileId(f.path);
    if (id && *id == *existing) return "is " + Shown(f.path) + " of the source tree";
  }
  return std::nullopt;
}

// What an update holds, counted from its index.
struct Contents {
  int files = 0, deltas = 0, moves = 0, removals = 0;
  int64_t bytes = 0;                          // of the files it makes
  int64_t file_packed = 0, delta_packed = 0;  // of their records' streams
};

Contents ContentsOf(const WString& output) {
  Contents in;
  (void)package::ReadPackageIndex(output, [&in](const package::IndexedEntry& e) {
    const package::Record& record = e.record;
    if (record.kind == package::RecordKind::kRemove) {
      ++in.removals;
      return;
    }
    in.bytes += e.size;
    if (record.is_delta() || record.kind == package::RecordKind::kChoice) {
      ++in.deltas;
      in.moves += record.is_delta() && record.old_name != record.name;
      in.delta_packed += e.packed_size;
    } else {
      ++in.files;
      in.file_packed += e.packed_size;
    }
  });
  return in;
}

// The summary of a build a script reads: the program, the entries by kind,
// the bytes they hold, the update's size, and the files gone since OLD_DIR.
void PrintJsonSummary(const BuildPlan& plan, const Contents& in, const std::string& program) {
  nlohmann::json summary = {
      {"output", plan.args.output},
      {"program", program},
      {"entries", {{"file", in.files}, {"delta", in.deltas}, {"remove", in.removals}}},
      {"moves", in.moves},
      {"bytes", in.bytes},
      {"packed", {{"file", in.file_packed}, {"delta", in.delta_packed}}},
      {"size", std::move(platform::FileSize(plan.output)).value_or(0)},
      {"gone", plan.gone}};
  fmt::print("{}\n", summary.dump(2));
}

// One line: whole files and patches with their packed bytes, the moves among
// the patches, the removals, and the program.
void PrintSummary(const BuildPlan& plan, const Contents& in, const std::string& program) {
  std::string patches = Count(in.deltas, "patch", "patches");
  if (in.deltas > 0) {
    patches += fmt::format(" ({} bytes{})", in.delta_packed,
                           in.moves > 0 ? "; " + Count(in.moves, "move", "moves") : "");
  }
  fmt::print("{}: {} ({} bytes), {}, {}; carries {}\n", plan.args.output,
             Count(in.files, "whole file", "whole files"), in.file_packed, patches,
             Count(in.removals, "removal", "removals"), AProgram(program));
}

// Adds the version of `size` bytes with `hash` to `versions` as one of
// `release`'s (a bit), or the release to a version already there.
void AddVersion(std::vector<package::Version>& versions, int release, uint64_t size,
                const uint8_t (&hash)[32]) {
  for (package::Version& v : versions) {
    if (v.size == size && std::equal(hash, hash + 32, v.hash)) {
      v.releases |= 1u << release;
      return;
    }
  }
  package::Version version;
  version.size = size;
  std::copy(hash, hash + 32, version.hash);
  version.releases = 1u << release;
  versions.push_back(version);
}

// The files the old releases have and SRC_DIR does not, into the plan's
// `gone`; the update removes them (`removals`, each with the versions the
// releases had) unless told to keep them. One SRC_DIR has under another
// case stays: on Windows it is the very file. Nonzero: the exit code of a
// failure.
int PlanRemovals(BuildPlan& plan) {
  const BuildArgs& args = plan.args;
  std::set<WString> names, folded, warned;
  for (const pack::TreeFile& f : plan.files) {
    names.insert(f.name);
    folded.insert(package::FoldCase(f.name));
  }
  std::map<WString, size_t> removal_of;  // the index of each name's removal
  for (size_t release = 0; release < plan.olds.size(); ++release) {
    for (const pack::TreeFile& f : plan.olds[release].files) {
      if (names.count(f.name)) continue;
      if (std::find(plan.gone.begin(), plan.gone.end(), Utf8(f.name)) == plan.gone.end()) {
        plan.gone.push_back(Utf8(f.name));
      }
      if (args.keep_removed) continue;
      if (folded.count(package::FoldCase(f.name))) {
        if (warned.insert(f.name).second) {
          fmt::print(stderr, "updatepkg: warning: {} stays: {} has it under another case\n",
                     Utf8(f.name), args.source);
        }
        continue;
      }
      uint8_t hash[32];
      platform::Status hashed = HashTreeFile(f.path, hash);
      if (!hashed) {
        return Report(plan.olds[release].typed, Fail(Cause::kSourceUnreadable, f.path, hashed));
      }
      auto [at, added] = removal_of.emplace(f.name, plan.removals.size());
      if (added) plan.removals.push_back({f.name, {}, 0});
      AddVersion(plan.removals[at->second].versions, static_cast<int>(release),
                 static_cast<uint64_t>(f.size), hash);
    }
  }
  for (pack::BuildOptions::Removal& removal : plan.removals) {
    uint32_t held = 0;
    for (const package::Version& v : removal.versions) held |= v.releases;
    removal.current_in = AllReleases(plan.olds.size()) & ~held;  // releases without the file
  }
  return kOk;
}

// Splits "DIR=LABEL" at the last "=" that leaves a folder before it; a
// typed folder, or one that is none, is all path.
std::pair<std::string, std::optional<std::string>> SplitLabel(const std::string& typed) {
  if (platform::IsFolder(PathArgument(typed))) return {typed, std::nullopt};
  for (size_t at = typed.rfind('='); at != std::string::npos && at > 0;
       at = typed.rfind('=', at - 1)) {
    if (platform::IsFolder(PathArgument(typed.substr(0, at)))) {
      return {typed.substr(0, at), typed.substr(at + 1)};
    }
  }
  return {typed, std::nullopt};
}

// The old releases (--changed-since, or each --delta-from, with its label)
// resolved and listed, and the removals planned from them.
int PlanOldReleases(BuildPlan& plan) {
  const char* option = plan.deltas ? "--delta-from" : "--changed-since";
  std::vector<std::string> typed = plan.args.delta_from;
  if (!plan.deltas) typed = {plan.args.changed_since};
  if (typed.size() > package::kMaxReleases) {
    fmt::print(stderr, "updatepkg: --delta-from: at most {} releases\n", package::kMaxReleases);
    return kUsage;
  }
  for (const std::string& argument : typed) {
    auto [path, label] = SplitLabel(argument);
    if (int code = CheckPathArgument(option, path, PathKind::kFolder)) return code;
    BuildPlan::OldTree tree{path, {}, {}, {}};
    if (label) tree.label = platform::FromUtf8Escaped(*label);
    if (label && !package::IsAcceptableLabel(tree.label)) {
      fmt::print(stderr, "updatepkg: {} {}: the label is not at most 64 characters of text\n",
                 option, argument);
      return kUsage;
    }
    platform::Result<WString> resolved = platform::ResolvedPath(PathArgument(path));
    if (!resolved)
      return Report(path, Fail(Cause::kSourceUnreadable, WString(), resolved.status()));
    tree.root = *resolved;
    Failure listed = pack::ListTreeFiles(tree.root, tree.files);
    if (listed.failed()) return Report(path, listed);
    plan.olds.push_back(std::move(tree));
  }
  return PlanRemovals(plan);
}

// Whether the file `leaf` of `folder` (at `path`) goes into the update: not
// when every old release has the same bytes at its name.
bool ChangedSinceOld(const BuildPlan& plan, const platform::Folder& folder, const WString& leaf,
                     const WString& path) {
  std::optional<WString> name = platform::RelativePathTo(plan.source, path);
  for (const BuildPlan::OldTree& old : plan.olds) {
    std::optional<WString> at = name ? platform::AppendPath(old.root, *name) : std::nullopt;
    if (!at || !pack::SameFileBytes(folder, leaf, *at)) return true;
  }
  return false;
}

// The job that makes the record of the changed file `name` (at `path`)
// from the old releases; none where it goes whole (it is new since one of
// them). One old version for all, none of them holding the new file already,
// is one delta, as an update from one release has; otherwise an "alts"
// record with a patch from each version.
std::unique_ptr<package::RecordJob> RecordJobFor(const BuildPlan& plan,
                                                 std::vector<OldRelease>& olds, const WString& name,
                                                 const WString& path, const EntryTimes& times,
                                                 std::atomic<int64_t>* progress) {
  int64_t size = std::move(platform::FileSize(path)).value_or(0);
  uint8_t digest[32] = {};
  bool several = olds.size() > 1 || plan.args.whole_fallback;
  bool hashed = several && HashTreeFile(path, digest).ok();
  std::vector<OldVersion> versions;
  uint32_t current_in = 0;
  for (size_t release = 0; release < olds.size(); ++release) {
    const pack::TreeFile* from = olds[release].SourceFor(name, path, size);
    if (!from) return nullptr;
    const uint8_t* hash = several ? olds[release].HashOf(from) : digest;
    if (hashed && from->name == name && from->size == size && std::equal(hash, hash + 32, digest)) {
      current_in |= 1u << release;  // the release has the new file already
      continue;
    }
    auto same = std::find_if(versions.begin(), versions.end(), [&](const OldVersion& v) {
      return v.name == from->name && std::equal(hash, hash + 32, v.version.hash);
    });
    if (same != versions.end()) {
      same->version.releases |= 1u << release;
      continue;
    }
    OldVersion version{{}, from->name, from->path};
    version.version.size = static_cast<uint64_t>(from->size);
    std::copy(hash, hash + 32, version.version.hash);
    version.version.releases = 1u << release;
    versions.push_back(std::move(version));
  }
  if (versions.empty()) return nullptr;
  if (versions.size() == 1 && current_in == 0 && !plan.args.whole_fallback) {
    return DeltaRecordJob(name, path, versions[0].name, versions[0].path, times, progress);
  }
  return ChoiceRecordJob(name, path, times, std::move(versions), current_in,
                         plan.args.whole_fallback, progress);
}

constexpr char kInterrupted[] = "updatepkg: interrupted; nothing written\n";

// kOk when `stub` (named `what` in messages) is a program, Windows or Linux,
// that carries no package yet; otherwise a usage error that says what it is.
int CheckStub(const WString& stub, const char* what) {
  std::string typed = Shown(stub);
  if (int code = CheckPathArgument(what, typed, PathKind::kFile, kUsage)) return code;
  std::string found;
  platform::File file;
  int64_t payload_end = 0;
  Failure package = package::OpenPackage(stub, file, payload_end);
  if (ProgramKindOf(stub) == package::ProgramKind::kUnknown) {
    found = "not a program (neither a Windows nor a Linux executable)";
  } else if (!package.failed() || package.cause == Cause::kBadTrailer) {
    found = "an update already (it ends with a package): name the updater program itself";
  } else {
    return kOk;
  }
  fmt::print(stderr, "updatepkg: {} {}: {}\n", what, typed, found);
  return kUsage;
}

// kOk when the update can be written at `typed`: not a folder, and in one.
int CheckOutput(const std::string& typed) {
  WString output = PathArgument(typed);
  if (platform::IsFolder(output)) {
    fmt::print(stderr, "updatepkg: -o {}: a folder, where the update file goes\n", typed);
    return kFault;
  }
  size_t slash = typed.find_last_of("/\\");
  std::string folder = slash == std::string::npos ? "." : typed.substr(0, slash == 0 ? 1 : slash);
  std::string what = "-o " + typed + ": its folder";
  return CheckPathArgument(what.c_str(), folder, PathKind::kFolder);
}

// The failure of a build, with the rule a refused name breaks or the file a
// name clashes with.
int ReportBuildFailure(const BuildPlan& plan, const Failure& failure) {
  if (failure.cause == Cause::kBadName) {
    return Report(plan.args.output, failure, " (" + RuleBroken(failure.path) + ")");
  }
  if (failure.cause == Cause::kDuplicateName) {
    return Report(plan.args.output, failure, " (" + ClashWith(failure.path, plan.source) + ")");
  }
  return Report(plan.args.output, failure);
}

}  // namespace

int PlanBuild(const BuildArgs& args, BuildPlan& plan) {
  plan.args = args;
  plan.deltas = !args.delta_from.empty();
  // Until the output is written, an interrupt says that nothing was.
  platform::RemoveOnInterrupt(WString(), kInterrupted);
  if (int code = CheckPathArgument("SRC_DIR", args.source, PathKind::kFolder)) return code;
  platform::Result<WString> source = platform::ResolvedPath(PathArgument(args.source));
  if (!source)
    return Report(args.source, Fail(Cause::kSourceUnreadable, WString(), source.status()));
  plan.source = *source;
  // The tree is listed ahead only for the progress line's total and for an
  // old release; the build itself walks it anyway.
  bool olds = plan.deltas || !args.changed_since.empty();
  if (Progress::Shown() || olds) {
    Failure listed = pack::ListTreeFiles(plan.source, plan.files);
    if (listed.failed()) return Report(args.source, listed);
  }
  if (olds) {
    if (int code = PlanOldReleases(plan)) return code;
  }
  std::optional<WString> stub =
      args.stub.empty() ? DefaultStub() : std::optional<WString>(PathArgument(args.stub));
  if (!stub) {
    fmt::print(stderr,
               "updatepkg: no Windows updater.exe beside updatepkg, in "
               "../share/tessaran-updater or ../windows: name the program with --stub PROGRAM\n");
    return kUsage;
  }
  plan.stub = *stub;
  if (int code = CheckStub(plan.stub, args.stub.empty() ? "the shipped updater.exe" : "--stub")) {
    return code;
  }
  plan.output = PathArgument(args.output);
  if (int code = CheckOutput(args.output)) return code;
  std::vector<WString> trees = {plan.source};
  for (const BuildPlan::OldTree& old : plan.olds) trees.push_back(old.root);
  if (std::optional<std::string> why =
          OverwritesAnInput(plan.output, trees, plan.stub, plan.files)) {
    fmt::print(stderr, "updatepkg: {}: the output would overwrite an input: it {}\n", args.output,
               *why);
    return kUsage;
  }
  return kOk;
}

int RunBuild(BuildPlan& plan) {
  const BuildArgs& args = plan.args;
  int64_t total = 0;
  for (const pack::TreeFile& f : plan.files) total += f.size;
  Progress progress(total);
  // Bytes of the tree done: read and left out, packed whole, or (a delta
  // build's patched files) encoded, as the encoders pass them. A delta
  // build's bar is drawn from a thread of its own, a few times a second.
  std::atomic<int64_t> done{0};
  std::optional<ProgressTicker> ticker;
  if (plan.deltas) ticker.emplace(progress, done);
  auto advance = [&](int64_t bytes) {
    done += bytes;
    if (!ticker) progress.Update(done);
  };
  pack::BuildOptions options;
  options.threads = args.threads;
  options.trace = args.verbose;
  options.removals = std::move(plan.removals);
  int packed = 0;
  bool made = false;  // the last file went to a job that counts its own bytes
  options.progress = [&](int64_t bytes) {
    ++packed;
    if (!made) advance(bytes);
    made = false;
  };
  if (!plan.olds.empty()) {
    options.include = [&](const platform::Folder& folder, const WString& leaf,
                          const WString& path) {
      if (ChangedSinceOld(plan, folder, leaf, path)) return true;
      advance(std::move(platform::FileSize(path)).value_or(0));  // read, not packed
      return false;
    };
  }
  std::vector<OldRelease> old_releases;
  for (BuildPlan::OldTree& old : plan.olds) old_releases.emplace_back(old.files, plan.files);
  if (plan.deltas) {
    options.make_record = [&](package::ParallelDeflater& deflater, const WString& name,
                              const WString& path, const EntryTimes& times) {
      int64_t size = std::move(platform::FileSize(path)).value_or(0);
      std::unique_ptr<package::RecordJob> job =
          RecordJobFor(plan, old_releases, name, path, times, &done);
      if (!job) return std::optional<bool>();
      made = true;
      return std::optional<bool>(deflater.AddMade(std::move(job), size));
    };
  }
  if (plan.olds.size() > 1 || std::any_of(plan.olds.begin(), plan.olds.end(),
                                          [](const auto& old) { return !old.label.empty(); })) {
    for (const BuildPlan::OldTree& old : plan.olds) options.releases.push_back(old.label);
  }
  if (args.version_label) options.label = platform::FromUtf8Escaped(*args.version_label);
  options.release_records = pack::WriteReleaseRecords;
  options.interrupt_message = kInterrupted;
  Failure failure = pack::BuildUpdateFile(plan.source, plan.stub, plan.output, options);
  ticker.reset();
  if (plan.deltas && !failure.failed()) progress.Update(done);
  progress.End();  // the summary, or the failure, on a line of its own
  if (failure.failed()) return ReportBuildFailure(plan, failure);
  plan.removals = std::move(options.removals);
  std::string program = ProgramName(plan.output);
  Contents contents = ContentsOf(plan.output);
  if (args.json) {
    PrintJsonSummary(plan, contents, program);
  } else {
    PrintSummary(plan, contents, program);
  }
  if (std::optional<std::string> amiss = NamedAmiss(args.output, program)) {
    fmt::print(stderr, "updatepkg: warning: {}\n", *amiss);
  }
  if (packed == 0 && plan.removals.empty()) {
    fmt::print(stderr, "updatepkg: warning: {} carries no files: nothing is new or changed\n",
               args.output);
    if (args.fail_if_empty) return kFault;
  }
  return kOk;
}

}  // namespace updater::tool

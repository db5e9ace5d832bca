#include "tool/build_plan.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>
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
    if (record.is_delta()) {
      ++in.deltas;
      in.moves += record.old_name != record.name;
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

// The files OLD_DIR has and SRC_DIR does not, into the plan's `gone`; the
// update removes them (`removals`, each with its size and hash) unless told
// to keep them. One SRC_DIR has under another case stays: on Windows it is
// the very file. Nonzero: the exit code of a failure.
int PlanRemovals(BuildPlan& plan) {
  const BuildArgs& args = plan.args;
  std::set<WString> names, folded;
  for (const pack::TreeFile& f : plan.files) {
    names.insert(f.name);
    folded.insert(package::FoldCase(f.name));
  }
  for (const pack::TreeFile& f : plan.old_files) {
    if (names.count(f.name)) continue;
    plan.gone.push_back(Utf8(f.name));
    if (args.keep_removed) continue;
    if (folded.count(package::FoldCase(f.name))) {
      fmt::print(stderr, "updatepkg: warning: {} stays: {} has it under another case\n",
                 Utf8(f.name), args.source);
      continue;
    }
    pack::BuildOptions::Removal removal{f.name, static_cast<uint64_t>(f.size), {}};
    platform::Status hashed = HashTreeFile(f.path, removal.sha256);
    if (!hashed) return Report(args.changed_since, Fail(Cause::kSourceUnreadable, f.path, hashed));
    plan.removals.push_back(removal);
  }
  return kOk;
}

// The old release (--changed-since or --delta-from) resolved and listed,
// and the removals planned from it.
int PlanOldRelease(BuildPlan& plan) {
  const std::string& typed = plan.args.changed_since;
  const char* option = plan.deltas ? "--delta-from" : "--changed-since";
  if (int code = CheckPathArgument(option, typed, PathKind::kFolder)) return code;
  platform::Result<WString> resolved = platform::ResolvedPath(PathArgument(typed));
  if (!resolved) return Report(typed, Fail(Cause::kSourceUnreadable, WString(), resolved.status()));
  plan.old_root = *resolved;
  Failure listed = pack::ListTreeFiles(plan.old_root, plan.old_files);
  if (listed.failed()) return Report(typed, listed);
  return PlanRemovals(plan);
}

// Whether the file `leaf` of `folder` (at `path`) goes into the update: not
// when the old release has the same bytes at its name.
bool ChangedSinceOld(const BuildPlan& plan, const platform::Folder& folder, const WString& leaf,
                     const WString& path) {
  std::optional<WString> name = platform::RelativePathTo(plan.source, path);
  std::optional<WString> old = name ? platform::AppendPath(plan.old_root, *name) : std::nullopt;
  return !old || !pack::SameFileBytes(folder, leaf, *old);
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
  if (plan.deltas) plan.args.changed_since = args.delta_from;
  // Until the output is written, an interrupt says that nothing was.
  platform::RemoveOnInterrupt(WString(), kInterrupted);
  if (int code = CheckPathArgument("SRC_DIR", args.source, PathKind::kFolder)) return code;
  platform::Result<WString> source = platform::ResolvedPath(PathArgument(args.source));
  if (!source)
    return Report(args.source, Fail(Cause::kSourceUnreadable, WString(), source.status()));
  plan.source = *source;
  // The tree is listed ahead only for the progress line's total and for an
  // old release; the build itself walks it anyway.
  if (Progress::Shown() || !plan.args.changed_since.empty()) {
    Failure listed = pack::ListTreeFiles(plan.source, plan.files);
    if (listed.failed()) return Report(args.source, listed);
  }
  if (!plan.args.changed_since.empty()) {
    if (int code = PlanOldRelease(plan)) return code;
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
  if (!plan.old_root.empty()) trees.push_back(plan.old_root);
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
  int64_t total = 0, done = 0;
  for (const pack::TreeFile& f : plan.files) total += f.size;
  Progress progress(total);
  pack::BuildOptions options;
  options.threads = args.threads;
  options.trace = args.verbose;
  options.removals = std::move(plan.removals);
  int packed = 0;
  options.progress = [&](int64_t bytes) {
    ++packed;
    progress.Update(done += bytes);
  };
  if (!plan.old_root.empty()) {
    options.include = [&](const platform::Folder& folder, const WString& leaf,
                          const WString& path) {
      if (ChangedSinceOld(plan, folder, leaf, path)) return true;
      progress.Update(done += std::move(platform::FileSize(path)).value_or(0));  // read, not packed
      return false;
    };
  }
  std::vector<WString> new_names;
  for (const pack::TreeFile& f : plan.files) new_names.push_back(f.name);
  OldRelease old_release(std::move(plan.old_files), new_names);
  if (plan.deltas) {
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
  options.interrupt_message = kInterrupted;
  Failure failure = pack::BuildUpdateFile(plan.source, plan.stub, plan.output, options);
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

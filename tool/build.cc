// `updatepkg build`: the request's paths checked and resolved, the old
// releases planned (release/series.h), then the update written and its
// summary printed.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <optional>

#include "package/package_index.h"
#include "package/record_reader.h"
#include "platform/utf8.h"
#include "release/series.h"
#include "tool/build_checks.h"
#include "tool/commands.h"
#include "tool/progress.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

constexpr char kInterrupted[] = "updatepkg: interrupted; nothing written\n";

// A build ready to run: every path resolved and checked, the trees listed
// where the build needs them, the removals planned. Nothing is written yet.
struct BuildPlan {
  BuildRequest request;
  release::Series series;
  std::vector<std::string> typed_olds;  // each old release as typed, for messages
  bool deltas = false;                  // --delta-from: changed files as patches
  WString stub;                         // the program the update starts with
  WString output;                       // as typed, in the library's form
};

// The old releases (--changed-since, or each --delta-from, with its label)
// resolved and listed into `plan`, and the removals planned from them.
int PlanOldReleases(BuildPlan& plan) {
  const char* option = plan.deltas ? "--delta-from" : "--changed-since";
  std::vector<std::string> typed = plan.request.delta_from;
  if (!plan.deltas) typed = {plan.request.changed_since};
  if (typed.size() > package::kMaxReleases) {
    fmt::print(stderr, "updatepkg: --delta-from: at most {} releases\n", package::kMaxReleases);
    return kUsage;
  }
  for (const std::string& argument : typed) {
    auto [path, label] = SplitLabel(argument);
    if (int code = CheckPathArgument(option, path, PathKind::kFolder)) return code;
    release::OldTree tree;
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
    plan.series.olds.push_back(std::move(tree));
    plan.typed_olds.push_back(path);
  }
  release::PlanFault fault = release::PlanRemovals(plan.series);
  for (const WString& name : plan.series.kept_under_other_case) {
    fmt::print(stderr, "updatepkg: warning: {} stays: {} has it under another case\n", Utf8(name),
               plan.request.source);
  }
  if (fault.failure.failed()) return Report(plan.typed_olds[fault.release], fault.failure);
  return kOk;
}

// The stub and the output, checked: the output overwrites no input.
int PlanOutput(BuildPlan& plan) {
  const BuildRequest& request = plan.request;
  std::optional<WString> stub =
      request.stub.empty() ? DefaultStub() : std::optional<WString>(PathArgument(request.stub));
  if (!stub) {
    fmt::print(stderr,
               "updatepkg: no Windows updater.exe beside updatepkg, in "
               "../share/tessaran-updater or ../windows: name the program with --stub PROGRAM\n");
    return kUsage;
  }
  plan.stub = *stub;
  if (int code =
          CheckStub(plan.stub, request.stub.empty() ? "the shipped updater.exe" : "--stub")) {
    return code;
  }
  plan.output = PathArgument(request.output);
  if (int code = CheckOutput(request.output)) return code;
  std::vector<WString> trees = {plan.series.source};
  for (const release::OldTree& old : plan.series.olds) trees.push_back(old.root);
  if (std::optional<std::string> why =
          OverwritesAnInput(plan.output, trees, plan.stub, plan.series.files)) {
    fmt::print(stderr, "updatepkg: {}: the output would overwrite an input: it {}\n",
               request.output, *why);
    return kUsage;
  }
  return kOk;
}

// The failure of a build, with the rule a refused name breaks or the file a
// name clashes with.
int ReportBuildFailure(const BuildPlan& plan, const Failure& failure) {
  if (failure.cause == Cause::kBadName) {
    return Report(plan.request.output, failure, " (" + RuleBroken(failure.path) + ")");
  }
  if (failure.cause == Cause::kDuplicateName) {
    return Report(plan.request.output, failure,
                  " (" + ClashWith(failure.path, plan.series.source) + ")");
  }
  return Report(plan.request.output, failure);
}

// The plan of `request` into `plan`; kOk, or the exit code of a failure it
// reported.
int PlanBuild(const BuildRequest& request, BuildPlan& plan) {
  plan.request = request;
  plan.deltas = !request.delta_from.empty();
  plan.series.keep_removed = request.keep_removed;
  plan.series.whole_fallback = request.whole_fallback;
  plan.series.coding.lzma = request.compression == "lzma";
  plan.series.coding.level = request.level == "fast"  ? delta::LzmaLevel::kFast
                             : request.level == "max" ? delta::LzmaLevel::kMax
                                                      : delta::LzmaLevel::kNormal;
  // Until the output is written, an interrupt says that nothing was.
  platform::RemoveOnInterrupt(WString(), kInterrupted);
  if (int code = CheckPathArgument("SRC_DIR", request.source, PathKind::kFolder)) return code;
  platform::Result<WString> source = platform::ResolvedPath(PathArgument(request.source));
  if (!source)
    return Report(request.source, Fail(Cause::kSourceUnreadable, WString(), source.status()));
  plan.series.source = *source;
  // The tree is listed ahead only for the progress line's total, for an
  // old release and for the size of LZMA blocks; the build itself walks it
  // anyway.
  bool olds = plan.deltas || !request.changed_since.empty();
  if (Progress::Shown() || olds || plan.series.coding.lzma) {
    Failure listed = pack::ListTreeFiles(plan.series.source, plan.series.files);
    if (listed.failed()) return ReportBuildFailure(plan, listed);
  }
  if (olds) {
    if (int code = PlanOldReleases(plan)) return code;
  }
  return PlanOutput(plan);
}

// What an update holds, counted from its index (its solid blocks undecoded:
// reading them again took a fifth of a build of a game's data).
struct Contents {
  int files = 0, deltas = 0, choices = 0, moves = 0, removals = 0;
  int64_t bytes = 0;                          // of the files it makes
  int64_t file_packed = 0, delta_packed = 0;  // of their records' streams
};

Contents ContentsOf(const WString& output) {
  Contents in;
  (void)package::ReadPackageIndex(
      output,
      [&in](const package::IndexedEntry& e) {
        const package::Record& record = e.record;
        if (record.kind == package::RecordKind::kRemove) {
          ++in.removals;
          return;
        }
        in.bytes += e.size;
        if (record.is_delta() || record.kind == package::RecordKind::kChoice) {
          ++(record.is_delta() ? in.deltas : in.choices);
          in.moves += record.is_delta() && record.old_name != record.name;
          in.delta_packed += e.packed_size;
        } else {
          ++in.files;
          in.file_packed += e.packed_size;
        }
      },
      package::IndexReading::kAsStated);
  return in;
}

// The summary of a build a script reads: the program, the entries by kind
// (as list names them), the bytes they hold, the update's size, and the
// files gone since the old releases.
void PrintJsonSummary(const BuildPlan& plan, const Contents& in, const std::string& program) {
  std::vector<std::string> gone;
  for (const WString& name : plan.series.gone) gone.push_back(Utf8(name));
  nlohmann::json summary = {
      {"output", plan.request.output},
      {"program", program},
      {"entries",
       {{"file", in.files}, {"delta", in.deltas}, {"deltas", in.choices}, {"remove", in.removals}}},
      {"moves", in.moves},
      {"bytes", in.bytes},
      {"packed", {{"file", in.file_packed}, {"delta", in.delta_packed}}},
      {"size", std::move(platform::FileSize(plan.output)).value_or(0)},
      {"gone", gone}};
  fmt::print("{}\n", summary.dump(2));
}

// One line: whole files and patches with their packed bytes, the moves among
// the patches, the removals, and the program.
void PrintSummary(const BuildPlan& plan, const Contents& in, const std::string& program) {
  int patched = in.deltas + in.choices;
  std::string patches = Count(patched, "patch", "patches");
  if (patched > 0) {
    patches += fmt::format(" ({} bytes{})", in.delta_packed,
                           in.moves > 0 ? "; " + Count(in.moves, "move", "moves") : "");
  }
  fmt::print("{}: {} ({} bytes), {}, {}; carries {}\n", plan.request.output,
             Count(in.files, "whole file", "whole files"), in.file_packed, patches,
             Count(in.removals, "removal", "removals"), AProgram(program));
}

// The summary of the update written, and the warnings it calls for.
int PrintBuilt(const BuildPlan& plan, int packed, size_t removals) {
  std::string program = ProgramName(plan.output);
  Contents contents = ContentsOf(plan.output);
  if (plan.request.json) {
    PrintJsonSummary(plan, contents, program);
  } else {
    PrintSummary(plan, contents, program);
  }
  if (std::optional<std::string> amiss = NamedAmiss(plan.request.output, program)) {
    fmt::print(stderr, "updatepkg: warning: {}\n", *amiss);
  }
  if (packed == 0 && removals == 0) {
    fmt::print(stderr, "updatepkg: warning: {} carries no files: nothing is new or changed\n",
               plan.request.output);
    if (plan.request.fail_if_empty) return kFault;
  }
  return kOk;
}

// Writes the update `plan` describes and prints its summary; the exit code.
int WriteUpdate(BuildPlan& plan) {
  const BuildRequest& request = plan.request;
  release::Series& series = plan.series;
  int64_t total = 0;
  for (const pack::TreeFile& f : series.files) total += f.size;
  Progress progress(total);
  // Bytes of the tree done: read and left out, packed whole, or (a delta
  // build's patched files, every file coded together) encoded, as the
  // encoders pass them. Such a build's bar is drawn from a thread of its
  // own, a few times a second.
  std::atomic<int64_t> done{0};
  std::optional<ProgressTicker> ticker;
  bool solid = series.coding.lzma;
  if (plan.deltas || solid) ticker.emplace(progress, done);
  auto advance = [&](int64_t bytes) {
    done += bytes;
    if (!ticker) progress.Update(done);
  };
  pack::BuildOptions options;
  options.threads = request.threads;
  options.trace = request.verbose;
  options.removals = std::move(series.removals);
  int packed = 0;
  bool made = false;  // the last file went to a job that counts its own bytes
  options.progress = [&](int64_t bytes) {
    ++packed;
    if (!made) advance(bytes);
    made = false;
  };
  if (!series.olds.empty()) {
    options.include = [&](const platform::Folder& folder, const WString& leaf,
                          const WString& path) {
      if (release::ChangedSinceOld(series, folder, leaf, path)) return true;
      advance(std::move(platform::FileSize(path)).value_or(0));  // read, not packed
      return false;
    };
  }
  release::RecordPlanner planner(series);
  release::CarriedRemovals carried(options.removals);
  // A delta build writes patches between its blocks of whole files.
  release::Blocks<release::SolidFile> blocks =
      release::SolidBlocks(series.coding, total, &done, !plan.deltas);
  release::Blocks<release::DeltaFile> deltas = release::DeltaBlocks(series.coding, &done);
  if (plan.deltas || solid) {
    options.make_record = [&](package::ParallelDeflater& deflater, const WString& name,
                              const WString& path, const EntryTimes& times) {
      int64_t size = std::move(platform::FileSize(path)).value_or(0);
      std::unique_ptr<package::RecordJob> job;
      if (plan.deltas) {
        release::FileSource source = planner.SourceOf(name, path);
        bool patched = source.kind == release::FileSource::kDelta ||
                       (source.kind == release::FileSource::kChoice && !series.whole_fallback);
        if (solid && patched) {
          // A patch waits for its block of deltas to fill.
          made = true;
          std::atomic<bool>* removes_old = carried.For(source, name);
          job = deltas.Add({name, path, times, size, std::move(source.versions), source.current_in,
                            removes_old});
          return std::optional<bool>(!job || deflater.AddMade(std::move(job), deltas.taken()));
        }
        job = planner.JobFor(std::move(source), name, path, times, &done);
      }
      if (!job && !solid) return std::optional<bool>();
      made = true;
      if (job) return std::optional<bool>(deflater.AddMade(std::move(job), size));
      // A whole file waits for its block to fill.
      job = blocks.Add({name, path, times, size});
      return std::optional<bool>(!job || deflater.AddMade(std::move(job), blocks.taken()));
    };
    options.finish_records = [&](package::ParallelDeflater& deflater) {
      std::unique_ptr<package::RecordJob> job = deltas.Rest();
      if (job && !deflater.AddMade(std::move(job), deltas.taken())) return false;
      job = blocks.Rest();
      return !job || deflater.AddMade(std::move(job), blocks.taken());
    };
  }
  options.releases = release::ReleaseLabels(series);
  if (request.version_label) options.label = platform::FromUtf8Escaped(*request.version_label);
  options.release_records = pack::WriteReleaseRecords;
  platform::Sha256 check;  // every package this tool writes is checked whole
  options.check = &check;
  options.compact = series.coding.lzma;  // deflated: the bytes of before
  options.interrupt_message = kInterrupted;
  Failure failure = pack::BuildUpdateFile(series.source, plan.stub, plan.output, options);
  bool ticked = ticker.has_value();
  ticker.reset();
  if (ticked && !failure.failed()) progress.Update(done);
  progress.End();  // the summary, or the failure, on a line of its own
  if (failure.failed()) return ReportBuildFailure(plan, failure);
  return PrintBuilt(plan, packed, options.removals.size());
}

}  // namespace

int RunBuild(const BuildRequest& request) {
  BuildPlan plan;
  int planned = PlanBuild(request, plan);
  return planned != kOk ? planned : WriteUpdate(plan);
}

}  // namespace updater::tool

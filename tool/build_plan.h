// `updatepkg build`: the command line's words become one plan (the trees,
// the stub, the output, the removals), checked before anything is written;
// then the plan runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pack/package_builder.h"
#include "platform/platform.h"

namespace updater::tool {

// What `updatepkg build` was asked, as typed.
struct BuildArgs {
  std::string source, output, stub, changed_since;
  // --delta-from, each "DIR" or "DIR=LABEL"
  std::vector<std::string> delta_from;
  std::optional<std::string> version_label;
  bool whole_fallback = false;
  int threads = 0;
  bool verbose = false;
  bool fail_if_empty = false;
  bool json = false;
  bool keep_removed = false;
};

// A build ready to run: every path resolved and checked, the trees listed
// where the build needs them, the removals planned. Nothing is written yet.
struct BuildPlan {
  BuildArgs args;
  WString source;  // SRC_DIR, resolved
  // An old release the update is made from (--changed-since, or each
  // --delta-from): as typed, resolved, its label, its files.
  struct OldTree {
    std::string typed;
    WString root;
    WString label;  // empty: none
    std::vector<pack::TreeFile> files;
  };
  std::vector<OldTree> olds;
  bool deltas = false;                // --delta-from: changed files as patches
  WString stub;                       // the program the update starts with
  WString output;                     // as typed, in the library's form
  std::vector<pack::TreeFile> files;  // SRC_DIR's, where listed (progress, an old release)
  std::vector<std::string> gone;      // files the old release has and SRC_DIR lacks
  std::vector<pack::BuildOptions::Removal> removals;  // those of them the update removes
};

// The plan of `args` into `plan`; kOk, or the exit code of a failure it
// reported.
int PlanBuild(const BuildArgs& args, BuildPlan& plan);

// Writes the update `plan` describes and prints its summary; the exit code.
int RunBuild(BuildPlan& plan);

}  // namespace updater::tool

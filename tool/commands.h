// The updatepkg commands, each run over the request the command line made
// of its words (updatepkg.cc). Each returns its exit code (report.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace updater::tool {

// `build SRC_DIR -o OUTPUT ...`, as typed.
struct BuildRequest {
  std::string source, output, stub, changed_since;
  // --delta-from, each "DIR" or "DIR=LABEL"
  std::vector<std::string> delta_from;
  std::optional<std::string> version_label;
  bool whole_fallback = false;
  std::string compression = "lzma";  // or "deflate"
  std::string level = "normal";      // "fast", "normal" or "max"
  int threads = 0;
  bool verbose = false;
  bool fail_if_empty = false;
  bool json = false;
  bool keep_removed = false;
};

// Writes the update and prints its summary.
int RunBuild(const BuildRequest& request);

// `list UPDATE [--json] [--hashes]`
struct ListRequest {
  std::string update;
  bool json = false;
  bool hashes = false;
};

int RunList(const ListRequest& request);

// `verify UPDATE [--json]`
struct VerifyRequest {
  std::string update;
  bool json = false;
};

int RunVerify(const VerifyRequest& request);

// `extract UPDATE DIR`
struct ExtractRequest {
  std::string update, dir;
};

int RunExtract(const ExtractRequest& request);

// `plan UPDATE GAME_DIR [--json]`: prints what the update would do in the
// folder, writing nothing; kOk when it would apply, kFault when it would
// fail (naming the first file) or cannot be read.
struct PlanRequest {
  std::string update, dir;
  bool json = false;
};

int RunPlan(const PlanRequest& request);

}  // namespace updater::tool

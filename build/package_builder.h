// Build mode: packs every file below "src" of the working directory and
// appends the package and its trailer to an output file.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "build/entry_writer.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "package/parallel_deflate.h"
#include "platform/platform.h"

// Why a build stopped; the output is cut back to its old length then.
enum class BuildFailure {
  kNone,
  kOutputError,       // the output cannot be opened or written
  kSourceUnreadable,  // `path` names the file or folder
  kPathTooLong,       // `path` names the item
  kBadName,           // `path` names a file the applier would refuse
  kNotAFile,          // `path` is neither a regular file nor a folder
  kBadTime,           // a time of `path` has no FILETIME
  kPackageTooLarge,   // the output would reach 2 GiB
};

// State of one walk over the source tree.
struct SourceWalk {
  // Files for which this gives false are left out; null packs every file.
  std::function<bool(const WString& path)> include;
  // Makes a file's record itself (a delta) or gives none; null packs every file whole.
  RecordMaker make_record;
  // Told the bytes of each file packed.
  std::function<void(int64_t bytes)> progress;
  // Threads that compress; 0 for one per processor. The bytes do not depend on it.
  int threads = 0;
  // Send a line per folder entered and file met to the debug channel.
  bool trace = true;
  std::vector<platform::FileId> outputs;           // the output files, never packed into themselves
  std::vector<platform::FileId> open_directories;  // the directories being walked, root first
  PackagePaths paths;                              // every file packed so far
  BuildFailure failure = BuildFailure::kNone;
  WString failed_path;
  int os_error = 0;  // the OS's error behind an unreadable source or output, where known
  ParallelDeflater* deflater = nullptr;  // set while the walk runs
  PackageOut* package = nullptr;         // set while the walk runs
  WString source_root;                   // entry names are relative to it
};

// Appends one record per file below `directory`, depth-first in ordinal
// UTF-16 order of the names. False once `walk` holds a failure.
bool AddSourceTree(const WString& directory, SourceWalk& walk);

// Appends the package of the tree at `source_root` (records, then the
// trailer) to `package`; a missing root gives an empty package. False with
// the reason in `walk` when it cannot be completed.
bool AppendPackage(PackageOut& package, const WString& source_root, SourceWalk& walk);

// Appends the package of `source_root` to the file `output_path` (created
// when missing). False with the reason in `walk` and the file exactly as it
// was before: cut back to its old length, or removed when this call made it.
bool AppendPackageToFile(const WString& output_path, const WString& source_root, SourceWalk& walk);

// Writes `output` as a copy of `stub` followed by the package of
// `source_root`. `output` appears only when complete (written under a
// temporary name beside it, then renamed); false with the reason in `walk`.
bool BuildUpdateFile(const WString& source_root, const WString& stub, const WString& output,
                     SourceWalk& walk);

// A file below a tree, named as a package names it (".\\sub\\a.dat").
struct TreeFile {
  WString name;
  WString path;
  int64_t size = 0;
};

// Every file below `root` in the order a build packs them; none when a
// folder cannot be listed. A missing root holds no files.
std::optional<std::vector<TreeFile>> ListTreeFiles(const WString& root);

// True when the files at `a` and `b` both exist and hold the same bytes.
bool SameFileBytes(const WString& a, const WString& b);

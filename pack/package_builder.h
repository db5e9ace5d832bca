// The build engine: packs every file below a source root and appends the
// package and its trailer to an output.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "pack/entry_writer.h"
#include "package/entry_name.h"
#include "package/failure.h"
#include "package/format.h"
#include "package/record_reader.h"
#include "platform/platform.h"

namespace updater::pack {

// How a build packs its tree. The defaults pack every file whole, on every
// core, and trace every folder and file met.
struct BuildOptions {
  // Files for which this gives false are left out; null packs every file.
  std::function<bool(const platform::Folder& folder, const WString& name, const WString& path)>
      include;
  // Makes a file's record itself (a delta) or gives none; null packs every file whole.
  RecordMaker make_record;
  // Queues what the build still holds back once every file is met (the
  // last of the blocks a build codes together); false when it cannot.
  std::function<bool(package::ParallelDeflater& deflater)> finish_records;
  // Told the bytes of each file packed.
  std::function<void(int64_t bytes)> progress;
  // Where set, WriteReleaseRecords starts the package with a check record
  // (see package/format.h) and hashes every record after it here.
  platform::Sha256* check = nullptr;
  // With a check record: it is "chkc", and the records after it are framed
  // compactly (see package::Framing).
  bool compact = false;
  // Threads that compress; 0 for one per processor. The bytes do not depend on it.
  int threads = 0;
  // Send a line per folder entered and file met to the debug channel.
  bool trace = true;
  // The version label the package starts with; none for a package without one.
  std::optional<WString> label;
  // The labels of the releases an update is made from, where it names them.
  std::vector<WString> releases;
  // Files the update removes, written after every file's record: one
  // version the old releases all had there ("gone"), or any of several
  // ("rmvs": releases that have no file there are `current_in`).
  struct Removal {
    WString name;  // as a package names it
    std::vector<package::Version> versions;
    uint32_t current_in = 0;
    // Set true once a delta from the file has said the removal (its old
    // name moved, or renamed): no record of its own then. The build owns it.
    const std::atomic<bool>* carried = nullptr;
  };
  std::vector<Removal> removals;
  // BuildUpdateFile: the line an interrupt writes to standard error as it
  // removes the unfinished output (static ASCII), or null for none.
  const char* interrupt_message = nullptr;
  // Writes the label and the removals: WriteReleaseRecords, where a build
  // has them (a function of its own, so that the updater's -l carries none).
  Failure (*release_records)(const BuildOptions& options, package::PackageOut& out,
                             package::PackagePaths& paths, const WString& source_root,
                             bool before_files) = nullptr;
};

// Writes the version label of `options` (`before_files`), or its removals
// (after them), each path added to `paths`: a clash fails.
Failure WriteReleaseRecords(const BuildOptions& options, package::PackageOut& out,
                            package::PackagePaths& paths, const WString& source_root,
                            bool before_files);

// Appends the package of the tree at `source_root` (records, then the
// trailer) to `package`; a missing root gives an empty package. Files whose
// identity is in `outputs` are never packed into themselves.
Failure AppendPackage(package::PackageOut& package, const WString& source_root,
                      const BuildOptions& options, const std::vector<platform::FileId>& outputs);

// Appends the package of `source_root` to the file `output_path` (created
// when missing). On failure the file is exactly as it was before: cut back
// to its old length, or removed when this call made it.
Failure AppendPackageToFile(const WString& output_path, const WString& source_root,
                            const BuildOptions& options);

// Writes `output` as a copy of `stub` followed by the package of
// `source_root`. `output` appears only when complete (written under a
// temporary name beside it, then renamed).
Failure BuildUpdateFile(const WString& source_root, const WString& stub, const WString& output,
                        const BuildOptions& options);

// A file below a tree, named as a package names it (".\\sub\\a.dat").
struct TreeFile {
  WString name;
  WString path;
  int64_t size = 0;
};

// Every file below `root` into `files`, in the order a build packs them. A
// missing root holds no files.
Failure ListTreeFiles(const WString& root, std::vector<TreeFile>& files);

// Opens the file at `path` of a tree for reading without moving its
// last-access time.
platform::Result<platform::File> OpenTreeFile(const WString& path);

// True when the file `name` of `folder` and the file at `other` both exist
// and hold the same bytes; neither's last-access time moves.
bool SameFileBytes(const platform::Folder& folder, const WString& name, const WString& other);

}  // namespace updater::pack

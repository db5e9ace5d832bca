#include "pack/package_builder.h"

#include <algorithm>
#include <cstring>

#include "pack/source_walk.h"
#include "package/delta.h"
#include "package/entry_name.h"

namespace updater::pack {
namespace {

using package::PackageOut;

// Everything one build has met so far.
struct BuildState {
  const BuildOptions& options;
  const std::vector<platform::FileId>& outputs;  // never packed into themselves
  package::ParallelDeflater& deflater;
  PackageOut& package;
  WString source_root;          // entry names are relative to it
  package::PackagePaths paths;  // every file packed so far
};

void Trace(const BuildOptions& options, const WString& line) {
  if (options.trace) platform::DebugOutput(line);
}

Failure AddFile(void* state, const platform::Folder& folder, const WString& name,
                const WString& path) {
  BuildState& build = *static_cast<BuildState*>(state);
  platform::Result<platform::FileId> id =
      platform::FileIdIn(folder, name, platform::Links::kFollow);
  if (id && std::find(build.outputs.begin(), build.outputs.end(), *id) != build.outputs.end()) {
    Trace(build.options, u"(the output file itself, not packed)\n");
    return {};
  }
  if (build.options.include && !build.options.include(folder, name, path)) {
    Trace(build.options, u"(unchanged, not packed)\n");
    return {};
  }
  // Names equal ignoring case would overwrite each other on Windows.
  if (!package::AddPackagePath(build.paths, path)) return Fail(Cause::kDuplicateName, path);
  int64_t before = build.package.source_bytes;
  bool skipped = false;
  Failure failure = WriteEntry(build.deflater, build.package, build.source_root, folder, name, path,
                               build.options.make_record, skipped);
  if (skipped) Trace(build.options, u"(gone since the folder was listed, skipped)\n");
  if (!failure.failed() && !skipped && build.options.progress) {
    build.options.progress(build.package.source_bytes - before);
  }
  return failure;
}

// Copies all of `source` to the package output.
Failure CopyStream(platform::File& source, PackageOut& out, const WString& name) {
  uint8_t buffer[64 * 1024];
  for (;;) {
    size_t got = source.Read(buffer, sizeof buffer);
    if (!source.status()) return Fail(Cause::kSourceUnreadable, name, source.status());
    if (got == 0) return {};
    if (!package::WriteToPackage(out, buffer, got)) return OutputFailure(out, WString());
  }
}

// The identity of each of `paths` that exists.
std::vector<platform::FileId> IdsOf(std::initializer_list<const WString*> paths) {
  std::vector<platform::FileId> ids;
  for (const WString* path : paths) {
    if (platform::Result<platform::FileId> id = platform::GetFileId(*path)) ids.push_back(*id);
  }
  return ids;
}

}  // namespace

Failure AppendPackage(PackageOut& package, const WString& source_root, const BuildOptions& options,
                      const std::vector<platform::FileId>& outputs) {
  int64_t start = package.size;
  Failure failure;
  package::Framing framing;
  framing.compact = options.compact && options.check;
  package.framing = &framing;
  {
    package::ParallelDeflater deflater(
        package, options.threads > 0 ? options.threads : platform::ProcessorCount());
    BuildState build{options, outputs, deflater, package, source_root, {}};
    if (options.release_records) {
      failure = options.release_records(options, package, build.paths, source_root, true);
    }
    TreeVisitor visitor;
    visitor.context = &build;
    visitor.file = AddFile;
    if (options.trace)
      visitor.trace = [](void*, const WString& line) {
        platform::DebugOutput(platform::DisplayPath(line));  // each path as the system writes it
      };
    if (!failure.failed()) failure = WalkTree(source_root, visitor);
    if (!failure.failed() && options.finish_records && !options.finish_records(deflater)) {
      failure = DeflaterFailure(deflater, package);
    }
    if (!failure.failed() && !deflater.Finish()) failure = DeflaterFailure(deflater, package);
    if (!failure.failed() && options.release_records) {
      failure = options.release_records(options, package, build.paths, source_root, false);
    }
  }  // every worker has ended here
  package.framing = nullptr;
  if (failure.failed()) return failure;
  if (!package::WritePackageTrailer(package, static_cast<uint32_t>(package.size - start))) {
    return OutputFailure(package, WString());
  }
  platform::Status flushed = package.file->Flush();
  if (!flushed) return Fail(Cause::kOutputError, WString(), flushed);
  return {};
}

// Writes the SHA-256 of what `out` was told since its check record into
// that record, which the package starts with.
Failure WriteCheck(PackageOut& out, platform::Sha256& hash) {
  out.hash = nullptr;
  uint8_t digest[32];
  if (!hash.Finish(digest)) return Fail(Cause::kOutputError, WString());
  int64_t end = out.size;
  platform::Status written = out.file->Seek(out.check_at + 4, SEEK_SET);
  if (written) written = out.file->Write(digest, sizeof digest);
  if (written) written = out.file->Seek(end, SEEK_SET);
  return written ? Failure() : Fail(Cause::kOutputError, WString(), written);
}

Failure WriteReleaseRecords(const BuildOptions& options, PackageOut& out,
                            package::PackagePaths& paths, const WString& source_root,
                            bool before_files) {
  if (before_files) {
    // The check record first, its SHA-256 written once every record after it is.
    uint8_t unknown[32] = {};
    out.check_at = out.size;
    const char* tag =
        out.framing && out.framing->compact ? package::kCompactCheckTag : package::kCheckTag;
    bool written = !options.check || (package::WriteToPackage(out, tag, 4) &&
                                      package::WriteToPackage(out, unknown, sizeof unknown));
    out.hash = options.check;
    // Then the program's own check, vouched for by the check record.
    if (options.check && out.image_check) {
      written = written && package::WriteToPackage(out, package::kImageCheckTag, 4) &&
                package::WriteToPackage(out, out.image_check, 32);
    }
    written = written && (!options.label || (package::WriteToPackage(out, package::kLabelTag, 4) &&
                                             package::WriteEntryName(out, *options.label)));
    if (!options.releases.empty()) {
      written = written && package::WriteReleaseLabels(out, options.releases);
    }
    return written ? Failure() : OutputFailure(out, WString());
  }
  for (const BuildOptions::Removal& r : options.removals) {
    // The applier refuses a package that names one path twice, ignoring case.
    WString path = source_root + r.name.substr(1);
    if (!package::AddPackagePath(paths, path, true)) return Fail(Cause::kDuplicateName, path);
    if (r.carried && *r.carried) continue;
    bool one = r.versions.size() == 1 && r.current_in == 0;
    bool written =
        one ? package::WriteRemovalRecord(out, r.name, r.versions[0].size, r.versions[0].hash)
            : package::WriteRemoveAnyRecord(out, r.name, r.current_in, r.versions);
    if (!written) return OutputFailure(out, WString());
  }
  return options.check ? WriteCheck(out, *options.check) : Failure();
}

Failure BuildUpdateFile(const WString& source_root, const WString& stub, const WString& output,
                        const BuildOptions& options) {
  if (output.size() + 8 > kMaxPathUnits) return Fail(Cause::kOutputError, output);
  WString temporary = output + u".partial";
  platform::Result<platform::File> program = platform::OpenFile(stub, "rb");
  if (!program) return Fail(Cause::kSourceUnreadable, stub, program.status());
  // Created afresh, never through a link. Whatever is already at that name
  // (a cut-off build's partial output, or something planted) stays, and the
  // build fails: removing it could follow a link (Wine's DeleteFileW does).
  // An interrupt waits until the new file is ours to remove.
  platform::HoldInterrupts();
  platform::Result<platform::File> file = platform::CreateNewFile(temporary);
  // Ours from here: an interrupt takes it away, and nobody else's.
  if (file) platform::RemoveOnInterrupt(temporary, options.interrupt_message);
  platform::ReleaseInterrupts();
  if (!file && platform::IsAlreadyThere(file.error())) {
    return Fail(Cause::kPartialInTheWay, temporary);
  }
  if (!file) return Fail(Cause::kOutputError, temporary, file.status());
  // Runnable as the stub is, with no chmod after the build.
  platform::Result<uint32_t> mode = program->Mode();
  if (mode) (void)file->SetMode(*mode);
  // Neither the update being written nor the one it replaces is packed.
  std::vector<platform::FileId> outputs = IdsOf({&temporary, &output});
  PackageOut package{&*file, 0};
  Failure failure = CopyStream(*program, package, stub);
  uint8_t image[32];
  if (!failure.failed() && !package::HashProgramImage(*program, package.size, image)) {
    failure = Fail(Cause::kSourceUnreadable, stub, program->status());
  }
  package.image_check = image;
  if (!failure.failed()) failure = AppendPackage(package, source_root, options, outputs);
  platform::Status closed = file->Close();
  if (!failure.failed() && !closed) failure = Fail(Cause::kOutputError, output, closed);
  // The output in place (or the partial one gone) and the interrupt's
  // removal let go at once: an interrupt in between would say that nothing
  // was written, or leave the partial output.
  platform::HoldInterrupts();
  if (!failure.failed()) {
    platform::Status renamed = platform::RenameFileReplacing(temporary, output);
    if (!renamed) failure = Fail(Cause::kOutputError, output, renamed);
  }
  if (failure.failed()) (void)platform::RemoveFile(temporary);
  platform::CancelRemoveOnInterrupt();
  platform::ReleaseInterrupts();
  return failure;
}

Failure AppendPackageToFile(const WString& output_path, const WString& source_root,
                            const BuildOptions& options) {
  // A name with no faithful form on disk would be written somewhere else.
  if (output_path.size() > kMaxPathUnits || !package::SurrogatesArePaired(output_path)) {
    return Fail(Cause::kOutputError, output_path);
  }
  platform::Result<platform::FileId> before = platform::GetFileId(output_path);
  bool existed = before || !platform::IsMissing(before.error());
  platform::Result<platform::File> output = platform::OpenFile(output_path, "ab");
  if (!output) return Fail(Cause::kOutputError, output_path, output.status());
  platform::Status at_end = output->Seek(0, SEEK_END);
  int64_t start = at_end ? output->Tell() : -1;
  if (start < 0) {
    if (output->Close() && !existed) (void)platform::RemoveFile(output_path);
    return Fail(Cause::kOutputError, output_path, at_end);
  }
  PackageOut package{&*output, start};
  Failure failure = AppendPackage(package, source_root, options, IdsOf({&output_path}));
  platform::Status closed = output->Close();
  if (!failure.failed() && !closed) failure = Fail(Cause::kOutputError, output_path, closed);
  if (!failure.failed()) return failure;
  // Leave the output exactly as it was before this run.
  (void)(existed ? platform::TruncateFile(output_path, start) : platform::RemoveFile(output_path));
  return failure;
}

Failure ListTreeFiles(const WString& root, std::vector<TreeFile>& files) {
  struct Listing {
    const WString& root;
    std::vector<TreeFile>& files;
  } listing{root, files};
  TreeVisitor visitor;
  visitor.context = &listing;
  visitor.file = [](void* context, const platform::Folder&, const WString&,
                    const WString& path) -> Failure {
    Listing& l = *static_cast<Listing*>(context);
    std::optional<WString> name = platform::RelativePathTo(l.root, path);
    if (!name) return Fail(Cause::kBadName, path);
    l.files.push_back({*name, path, std::move(platform::FileSize(path)).value_or(0)});
    return {};
  };
  return WalkTree(root, visitor);
}

namespace {

// Opens the file `name` of a tree's `folder` for reading without moving its
// last-access time, which a build records.
platform::Result<platform::File> OpenTreeFile(const platform::Folder& folder, const WString& name) {
  platform::Result<EntryTimes> times = platform::TimesIn(folder, name);
  if (!times) return times.status();
  return platform::OpenSourceFileIn(folder, name, *times);
}

}  // namespace

platform::Result<platform::File> OpenTreeFile(const WString& path) {
  platform::Result<platform::Folder> folder = platform::OpenFolder(package::FolderOfPath(path));
  if (!folder) return folder.status();
  return OpenTreeFile(*folder, package::LastComponent(path));
}

bool SameFileBytes(const platform::Folder& folder, const WString& name, const WString& other) {
  platform::Result<platform::File> first = OpenTreeFile(folder, name);
  platform::Result<platform::File> second = OpenTreeFile(other);
  if (!first || !second) return false;
  uint8_t x[64 * 1024], y[64 * 1024];
  for (;;) {
    size_t got = first->Read(x, sizeof x);
    if (second->Read(y, sizeof y) != got || std::memcmp(x, y, got) != 0) return false;
    if (got == 0) return first->status().ok() && second->status().ok();
  }
}

}  // namespace updater::pack

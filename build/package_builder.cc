#include "build/package_builder.h"

#include <algorithm>
#include <cstring>

#include "build/entry_writer.h"

namespace {

bool Fail(SourceWalk& walk, BuildFailure failure, const WString& path) {
  bool from_os =
      failure == BuildFailure::kSourceUnreadable || failure == BuildFailure::kOutputError;
  walk.os_error = from_os ? platform::LastErrorCode() : 0;
  walk.failure = failure;
  walk.failed_path = path;
  return false;
}

// The items of `directory` in ordinal UTF-16 order of their names, so that
// the same tree gives the same package whatever order the file system lists.
std::optional<std::vector<platform::DirItem>> ListInWalkOrder(const WString& directory) {
  std::optional<std::vector<platform::DirItem>> items = platform::ListDirectory(directory);
  if (items) {
    std::sort(
        items->begin(), items->end(),
        [](const platform::DirItem& a, const platform::DirItem& b) { return a.name < b.name; });
  }
  return items;
}

void Trace(const SourceWalk& walk, const WString& line) {
  if (walk.trace) platform::DebugOutput(line);
}

bool AddFile(const WString& path, SourceWalk& walk) {
  Trace(walk, path + u"\n");
  std::optional<platform::FileId> id = platform::GetFileId(path);
  if (id && std::find(walk.outputs.begin(), walk.outputs.end(), *id) != walk.outputs.end()) {
    Trace(walk, u"(the output file itself, not packed)\n");
    return true;
  }
  if (walk.include && !walk.include(path)) {
    Trace(walk, u"(unchanged, not packed)\n");
    return true;
  }
  // Names equal ignoring case would overwrite each other on Windows.
  if (!AddPackagePath(walk.paths, path)) return Fail(walk, BuildFailure::kBadName, path);
  int64_t before = walk.package->source_bytes;
  switch (WriteEntry(*walk.deflater, walk.source_root, path, walk.make_record)) {
    case EntryWriteResult::kWritten:
      if (walk.progress) walk.progress(walk.package->source_bytes - before);
      return true;
    case EntryWriteResult::kSkipped:
      Trace(walk, u"(gone since the folder was listed, skipped)\n");
      return true;
    case EntryWriteResult::kBadTime:
      return Fail(walk, BuildFailure::kBadTime, path);
    case EntryWriteResult::kSourceUnreadable:
      return Fail(walk, BuildFailure::kSourceUnreadable, path);
    case EntryWriteResult::kBadName:
      return Fail(walk, BuildFailure::kBadName, path);
    case EntryWriteResult::kPackageError:
      break;
  }
  return Fail(walk,
              walk.package->too_large ? BuildFailure::kPackageTooLarge : BuildFailure::kOutputError,
              path);
}

bool AddDirectory(const WString& path, SourceWalk& walk) {
  Trace(walk, u"<" + path + u">\n");
  std::optional<platform::FileId> id = platform::GetFileId(path);
  if (id && std::find(walk.open_directories.begin(), walk.open_directories.end(), *id) !=
                walk.open_directories.end()) {
    Trace(walk, u"(a link back to a directory being walked, skipped)\n");
    return true;
  }
  return AddSourceTree(path, walk);
}

bool AddItem(const WString& directory, const platform::DirItem& item, SourceWalk& walk) {
  std::optional<WString> path = platform::AppendPath(directory, item.name);
  if (!IsAcceptableComponent(item.name)) {
    return Fail(walk, BuildFailure::kBadName, directory + u"\\" + item.name);
  }
  if (!path) return Fail(walk, BuildFailure::kPathTooLong, directory + u"\\" + item.name);
  switch (item.kind) {
    case platform::ItemKind::kDirectory:
      return AddDirectory(*path, walk);
    case platform::ItemKind::kFile:
      return AddFile(*path, walk);
    case platform::ItemKind::kOther:
      return Fail(walk, BuildFailure::kNotAFile, *path);
    case platform::ItemKind::kUnreadable:
      break;
  }
  Fail(walk, BuildFailure::kSourceUnreadable, *path);
  walk.os_error = item.os_error;
  return false;
}

// Copies all of `source` to the package output.
bool CopyStream(platform::File& source, PackageOut& out, SourceWalk& walk, const WString& name) {
  uint8_t buffer[64 * 1024];
  for (;;) {
    size_t got = source.Read(buffer, sizeof buffer);
    if (source.HasError()) return Fail(walk, BuildFailure::kSourceUnreadable, name);
    if (got == 0) return true;
    if (!WriteToPackage(out, buffer, got)) return Fail(walk, BuildFailure::kOutputError, WString());
  }
}

}  // namespace

bool AppendPackage(PackageOut& package, const WString& source_root, SourceWalk& walk) {
  walk.source_root = source_root;
  walk.package = &package;
  int64_t start = package.size;
  bool walked = true;
  {
    ParallelDeflater deflater(package,
                              walk.threads > 0 ? walk.threads : platform::ProcessorCount());
    walk.deflater = &deflater;
    // Only a root that is not there gives the empty package; one that cannot
    // be reached is a failure, never mistaken for an empty tree.
    switch (platform::Probe(source_root)) {
      case platform::Presence::kPresent:
        walked = AddSourceTree(source_root, walk);
        break;
      case platform::Presence::kMissing:
        Trace(walk, u"(no " + source_root + u": the package is empty)\n");
        break;
      case platform::Presence::kUnreachable:
        walked = Fail(walk, BuildFailure::kSourceUnreadable, source_root);
        break;
    }
    if (walked && !deflater.Finish()) {
      walked = Fail(walk,
                    package.too_large ? BuildFailure::kPackageTooLarge : BuildFailure::kOutputError,
                    WString());
    }
    walk.deflater = nullptr;
  }  // every worker has ended here
  walk.package = nullptr;
  if (!walked) return false;
  if (!WritePackageTrailer(package, static_cast<uint32_t>(package.size - start)) ||
      !package.file->Flush()) {
    return Fail(walk,
                package.too_large ? BuildFailure::kPackageTooLarge : BuildFailure::kOutputError,
                WString());
  }
  return true;
}

bool BuildUpdateFile(const WString& source_root, const WString& stub, const WString& output,
                     SourceWalk& walk) {
  std::optional<WString> temporary;
  if (output.size() + 8 <= kMaxPathUnits) temporary = output + u".partial";
  platform::File program = platform::OpenFile(stub, "rb");
  if (!program) return Fail(walk, BuildFailure::kSourceUnreadable, stub);
  // Created afresh, never through a link. Whatever is already at that name
  // (a cut-off build's partial output, or something planted) stays, and the
  // build fails: removing it could follow a link (Wine's DeleteFileW does).
  platform::File file = temporary ? platform::CreateNewFile(*temporary) : platform::File();
  if (!file) return Fail(walk, BuildFailure::kOutputError, output);
  // Neither the update being written nor the one it replaces is packed.
  for (const WString& path : {*temporary, output}) {
    if (std::optional<platform::FileId> id = platform::GetFileId(path)) walk.outputs.push_back(*id);
  }
  PackageOut package{&file, 0};
  bool ok = CopyStream(program, package, walk, stub) && AppendPackage(package, source_root, walk);
  if (!file.Close() && ok) ok = Fail(walk, BuildFailure::kOutputError, output);
  if (ok && !platform::RenameFileReplacing(*temporary, output)) {
    ok = Fail(walk, BuildFailure::kOutputError, output);
  }
  if (!ok) platform::RemoveFile(*temporary);
  return ok;
}

bool AddSourceTree(const WString& directory, SourceWalk& walk) {
  // The listing's pattern is the folder joined with "*".
  if (directory.size() + 2 > kMaxPathUnits) {
    return Fail(walk, BuildFailure::kPathTooLong, directory);
  }
  std::optional<std::vector<platform::DirItem>> items = ListInWalkOrder(directory);
  if (!items) return Fail(walk, BuildFailure::kSourceUnreadable, directory);
  std::optional<platform::FileId> id = platform::GetFileId(directory);
  if (id) walk.open_directories.push_back(*id);
  bool ok = true;
  for (const platform::DirItem& item : *items) {
    ok = AddItem(directory, item, walk);
    if (!ok) break;
  }
  if (id) walk.open_directories.pop_back();
  return ok;
}

bool AppendPackageToFile(const WString& output_path, const WString& source_root, SourceWalk& walk) {
  // A name with no faithful form on disk would be written somewhere else.
  bool usable = output_path.size() <= kMaxPathUnits && SurrogatesArePaired(output_path);
  bool existed = usable && platform::FileExists(output_path);
  platform::File output;
  if (usable) output = platform::OpenFile(output_path, "ab");
  int64_t start = output && output.Seek(0, SEEK_END) ? output.Tell() : -1;
  if (start < 0) {
    if (output && !existed && output.Close()) platform::RemoveFile(output_path);
    return Fail(walk, BuildFailure::kOutputError, WString());
  }
  PackageOut package{&output, start};
  if (std::optional<platform::FileId> id = platform::GetFileId(output_path)) {
    walk.outputs.push_back(*id);
  }
  AppendPackage(package, source_root, walk);
  bool closed = output.Close();
  if (walk.failure == BuildFailure::kNone && closed) return true;
  // Leave the output exactly as it was before this run.
  if (existed) {
    platform::TruncateFile(output_path, start);
  } else {
    platform::RemoveFile(output_path);
  }
  if (walk.failure == BuildFailure::kNone) walk.failure = BuildFailure::kOutputError;
  return false;
}

namespace {

// Lists like the walk: a folder link back to a folder being listed is skipped.
bool ListFilesBelow(const WString& root, const WString& directory, std::vector<TreeFile>& out,
                    std::vector<platform::FileId>& open_directories) {
  std::optional<std::vector<platform::DirItem>> items = ListInWalkOrder(directory);
  std::optional<platform::FileId> id = platform::GetFileId(directory);
  if (!items || !id) return false;
  if (std::find(open_directories.begin(), open_directories.end(), *id) != open_directories.end()) {
    return true;
  }
  open_directories.push_back(*id);
  for (const platform::DirItem& item : *items) {
    std::optional<WString> path = platform::AppendPath(directory, item.name);
    if (!path) return false;
    if (item.kind == platform::ItemKind::kDirectory) {
      if (!ListFilesBelow(root, *path, out, open_directories)) return false;
    } else if (item.kind == platform::ItemKind::kFile) {
      std::optional<WString> name = platform::RelativePathTo(root, *path);
      if (!name) return false;
      out.push_back({*name, *path, platform::FileSize(*path).value_or(0)});
    }
  }
  open_directories.pop_back();
  return true;
}

}  // namespace

std::optional<std::vector<TreeFile>> ListTreeFiles(const WString& root) {
  std::vector<TreeFile> files;
  if (!platform::FileExists(root)) return files;
  std::vector<platform::FileId> open_directories;
  if (!ListFilesBelow(root, root, files, open_directories)) return std::nullopt;
  return files;
}

namespace {

// Opens a file of a tree for reading without moving its last-access time,
// which a build records.
platform::File OpenTreeFile(const WString& path) {
  EntryTimes times;
  if (platform::GetFileTimes(path, &times) != platform::TimesRead::kOk) return platform::File();
  return platform::OpenSourceFile(path, times);
}

}  // namespace

bool SameFileBytes(const WString& a, const WString& b) {
  platform::File first = OpenTreeFile(a);
  platform::File second = OpenTreeFile(b);
  if (!first || !second) return false;
  uint8_t x[64 * 1024], y[64 * 1024];
  for (;;) {
    size_t got = first.Read(x, sizeof x);
    if (second.Read(y, sizeof y) != got || std::memcmp(x, y, got) != 0) return false;
    if (got == 0) return !first.HasError() && !second.HasError();
  }
}

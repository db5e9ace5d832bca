// POSIX implementation of the platform services. Paths arrive with "\"
// separators and become "/" only here, at the file-system boundary.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/fault_seam.h"
#include "platform/filetime.h"
#include "platform/path_rules.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace updater::platform {
namespace {

std::string ToNative(const WString& path) {
  std::string out = ToUtf8(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

WString FromNative(const std::string& path) {
  WString out = FromUtf8Escaped(path);
  std::replace(out.begin(), out.end(), u'/', u'\\');
  return out;
}

std::optional<FileTime> ToFileTime(const struct statx_timestamp& t) {
  return FileTimeFromUnix({t.tv_sec, t.tv_nsec});
}

struct timespec ToTimespec(FileTime t) {
  UnixTime u = UnixFromFileTime(t);
  struct timespec out {};
  out.tv_sec = static_cast<time_t>(u.seconds);
  out.tv_nsec = static_cast<long>(u.nanoseconds);
  return out;
}

// Reads one answer line; none at the end of input.
std::optional<std::string> ReadAnswerLine() {
  std::string line;
  int c;
  while ((c = std::fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
  if (c == EOF && line.empty()) return std::nullopt;
  line.erase(std::remove_if(line.begin(), line.end(),
                            [](char ch) { return ch == ' ' || ch == '\r' || ch == '\t'; }),
             line.end());
  std::transform(line.begin(), line.end(), line.begin(), [](char ch) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  });
  return line;
}

int AskYesNo() {
  for (bool first = true;; first = false) {
    std::fputs(first ? " [y/n] " : "[y/n] ", stderr);
    std::fflush(stderr);
    std::optional<std::string> answer = ReadAnswerLine();
    // Answers from a pipe are not echoed; show them so the log reads like a session.
    if (!isatty(STDIN_FILENO)) std::fprintf(stderr, "%s\n", answer.value_or("").c_str());
    if (!answer) return kIdNo;
    if (*answer == "y" || *answer == "yes") return kIdYes;
    if (*answer == "n" || *answer == "no") return kIdNo;
  }
}

}  // namespace

std::optional<std::vector<WString>> CommandLineArguments() {
  FILE* f = std::fopen("/proc/self/cmdline", "rb");
  if (!f) return std::nullopt;
  std::vector<WString> args;
  std::string current;
  int c;
  while ((c = std::fgetc(f)) != EOF) {
    if (c == '\0') {
      args.push_back(FromUtf8Escaped(current));
      current.clear();
    } else {
      current += static_cast<char>(c);
    }
  }
  std::fclose(f);
  if (args.empty()) return std::nullopt;
  return args;
}

std::optional<WString> OwnExecutablePath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
  return FromNative(std::string(buffer, static_cast<size_t>(n)));
}

int ShowMessageBox(const WString& text, const WString& caption, BoxStyle style) {
  std::string line = "[" + ToUtf8(caption) + "] " + ToUtf8(text);
  std::fputs(line.c_str(), stderr);
  if (style == BoxStyle::kQuestion) return AskYesNo();
  std::fputs("\n", stderr);
  return kIdOk;
}

std::optional<WString> WorkingFolder() {
  char buffer[4096];
  if (!getcwd(buffer, sizeof buffer)) return std::nullopt;
  // A "\\" would become a separator, and invalid UTF-8 has no faithful UTF-16 form.
  std::optional<WString> dir = FromUtf8(buffer);
  if (!dir || dir->find(u'\\') != WString::npos || dir->size() > kMaxPathUnits) {
    return std::nullopt;
  }
  std::replace(dir->begin(), dir->end(), u'/', u'\\');
  return dir;
}

std::optional<WString> AppendPath(const WString& base, const WString& more) {
  return JoinPathRules(base, more);
}

std::optional<WString> RelativePathTo(const WString& dir, const WString& file) {
  return RelativePathRules(dir, file);
}

namespace {

Status Errno() { return Status::Error(errno); }

// Succeeds when `result` is 0, as POSIX calls report; the seam's fault first.
Status Checked(int fault, int result) {
  if (fault) return Status::Error(fault);
  return result == 0 ? Status() : Errno();
}

// Runs `call` (a POSIX call that returns 0 on success) unless the test seam
// fails this operation first.
template <class Call>
Status Seamed(const Call& call) {
  if (int fault = InjectedFault()) return Status::Error(fault);
  return Checked(0, call());
}

}  // namespace

bool IsMissing(int os_error) { return os_error == ENOENT || os_error == ENOTDIR; }

int MissingError() { return ENOENT; }

int BadNameError() { return EINVAL; }

int TimeOutOfRangeError() { return EOVERFLOW; }

int LastOsError() { return errno; }

Result<FileId> GetFileId(const WString& path) {
  struct stat st;
  if (stat(ToNative(path).c_str(), &st) != 0) return Errno();
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool IsFolder(const WString& path) {
  struct stat st;
  return stat(ToNative(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status MakeFolder(const WString& path) {
  return Seamed([&] { return mkdir(ToNative(path).c_str(), 0777); });
}

Result<int64_t> FileSize(const WString& path) {
  struct stat st;
  if (stat(ToNative(path).c_str(), &st) != 0) return Errno();
  return static_cast<int64_t>(st.st_size);
}

Status RemoveFile(const WString& path) {
  return Seamed([&] { return unlink(ToNative(path).c_str()); });
}

Status RenameFileReplacing(const WString& from, const WString& to) {
  return Seamed([&] { return rename(ToNative(from).c_str(), ToNative(to).c_str()); });
}

Result<WString> ResolvedPath(const WString& path) {
  char* resolved = realpath(ToNative(path).c_str(), nullptr);
  if (!resolved) return Errno();
  WString out = FromNative(resolved);
  std::free(resolved);
  return out;
}

namespace {

// A C runtime stream that owns the descriptor `fd` (a failure when
// negative); the descriptor is closed when no stream can be made.
Result<File> StreamFromFd(int fd, const char* mode) {
  if (fd < 0) return Errno();
  std::FILE* stream = fdopen(fd, mode);
  if (!stream) {
    Status failed = Errno();
    close(fd);
    return failed;
  }
  return File(stream);
}

}  // namespace

Result<File> CreateNewFile(const WString& path) {
  return StreamFromFd(
      open(ToNative(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666),
      "wb");
}

Result<File> OpenOwnProgram(const WString& path) {
  // The running image itself, even when a file has been renamed over its
  // name since it started; its path only where /proc is not mounted.
  int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fd = open(ToNative(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  return StreamFromFd(fd, "rb");
}

Result<File> OpenFile(const WString& path, const char* mode) {
  std::FILE* stream = std::fopen(ToNative(path).c_str(), mode);
  if (!stream) return Errno();
  return File(stream);
}

Status TruncateFile(const WString& path, int64_t length) {
  return Checked(0, truncate(ToNative(path).c_str(), static_cast<off_t>(length)));
}

Status SyncStreamToDisk(std::FILE* stream) { return Checked(0, fsync(fileno(stream))); }

size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size, int* os_error) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fileno(stream), static_cast<char*>(buffer) + done, size - done,
                        static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) *os_error = errno;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

Status SetStreamTimes(std::FILE* stream, uint64_t, uint64_t last_access, uint64_t last_write) {
  // Linux has no call that sets a birth time, so the creation time stays as the OS made it.
  struct timespec ts[2] = {ToTimespec(last_access), ToTimespec(last_write)};
  return Checked(0, futimens(fileno(stream), ts));
}

Status SetStreamMode(std::FILE* stream, uint32_t mode) {
  return Checked(0, fchmod(fileno(stream), static_cast<mode_t>(mode)));
}

Status StreamIdentity(std::FILE* stream, uint64_t& volume, uint64_t& index) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return Errno();
  volume = static_cast<uint64_t>(st.st_dev);
  index = static_cast<uint64_t>(st.st_ino);
  return Status();
}

Result<uint32_t> StreamMode(std::FILE* stream) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) return Errno();
  return static_cast<uint32_t>(st.st_mode & 0777);
}

Result<EntryTimes> TimesAt(int fd, const char* name, int flags);

Result<EntryTimes> StreamTimes(std::FILE* stream) {
  return TimesAt(fileno(stream), "", AT_EMPTY_PATH);
}

Status SetStreamLastAccess(std::FILE* stream, uint64_t last_access) {
  struct timespec ts[2] = {ToTimespec(last_access), {0, UTIME_OMIT}};
  return Checked(0, futimens(fileno(stream), ts));
}

// --- Folders held by descriptor: every call is relative to one, and in the
// game folder no link is ever followed.

namespace {

int Fd(const Folder& folder) { return static_cast<int>(folder.handle()); }

// `name` in the OS form when it is one component: never empty, ".", ".." or
// holding a separator ("\\" of the logic's paths, "/" of the system's), so
// that no call can leave the folder it is given.
std::optional<std::string> Component(const WString& name) {
  std::string native = ToUtf8(name);
  if (native.empty() || native == "." || native == ".." ||
      native.find_first_of("/\\") != std::string::npos) {
    return std::nullopt;
  }
  return native;
}

int NoFollow(Links links) { return links == Links::kRefuse ? O_NOFOLLOW : 0; }

Result<Folder> FolderFromFd(int fd, WString path) {
  if (fd < 0) return Errno();
  return Folder(fd, std::move(path));
}

WString ChildPath(const Folder& parent, const WString& name) {
  return parent.path() + u"\\" + name;
}

Status BadName() { return Status::Error(EINVAL); }

// `fd` when it is a regular file, opened non-blocking and now blocking again;
// otherwise -1 with errno set, and `fd` closed.
int RegularOnly(int fd) {
  if (fd < 0) return fd;
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
  if (error == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) error = errno;
  if (error == 0) return fd;
  close(fd);
  errno = error;
  return -1;
}

NodeKind KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return NodeKind::kLink;
  if (S_ISDIR(mode)) return NodeKind::kFolder;
  return S_ISREG(mode) ? NodeKind::kFile : NodeKind::kOther;
}

}  // namespace

void Folder::Close() {
  if (handle_ != -1) close(static_cast<int>(handle_));
  handle_ = -1;
}

Result<Folder> OpenFolder(const WString& path) {
  return FolderFromFd(open(ToNative(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
}

Result<NodeKind> KindIn(const Folder& folder, const WString& name, Links links) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  struct stat st;
  int flags = links == Links::kRefuse ? AT_SYMLINK_NOFOLLOW : 0;
  if (fstatat(Fd(folder), c->c_str(), &st, flags) != 0) {
    if (errno == ENOENT) return NodeKind::kMissing;
    return Errno();
  }
  return KindOf(st.st_mode);
}

Result<Folder> OpenSubfolder(const Folder& parent, const WString& name, Links links) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  int fd = openat(Fd(parent), c->c_str(), O_RDONLY | O_DIRECTORY | NoFollow(links) | O_CLOEXEC);
  return FolderFromFd(fd, ChildPath(parent, name));
}

Result<Folder> CreateSubfolder(const Folder& parent, const WString& name, bool private_only) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  Status made = Seamed([&] { return mkdirat(Fd(parent), c->c_str(), private_only ? 0700 : 0777); });
  if (!made) return made;
  // Another user may act between the two calls: the test seam's hook stands
  // for them (a failure it would inject here is what opening then meets).
  (void)InjectedFault();
  return OpenSubfolder(parent, name);
}

Status RemoveSubfolder(const Folder& parent, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  return Seamed([&] { return unlinkat(Fd(parent), c->c_str(), AT_REMOVEDIR); });
}

Result<bool> IsPrivateFolder(const Folder& folder) {
  struct stat st;
  if (fstat(Fd(folder), &st) != 0) return Errno();
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700;
}

Status MayChangeFolder(const Folder& folder) {
  return Checked(InjectedFault(), faccessat(Fd(folder), ".", W_OK | X_OK, AT_EACCESS));
}

Result<uint64_t> FreeSpace(const Folder& folder) {
  struct statvfs st;
  if (fstatvfs(Fd(folder), &st) != 0) return Errno();
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

Result<uint32_t> ModeIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  struct stat st;
  if (fstatat(Fd(folder), c->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
  if (!S_ISREG(st.st_mode)) return Status::Error(EISDIR);
  return static_cast<uint32_t>(st.st_mode & 0777);
}

Result<FileId> FolderId(const Folder& folder) {
  struct stat st;
  if (fstat(Fd(folder), &st) != 0) return Errno();
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

namespace {

// The identity of the item `name` of `folder`, a regular file or (with
// `folder_wanted`) a folder; fails for anything else, links included unless
// they are followed.
Result<FileId> ItemIdIn(const Folder& folder, const WString& name, bool folder_wanted,
                        Links links = Links::kRefuse) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  struct stat st;
  int flags = links == Links::kRefuse ? AT_SYMLINK_NOFOLLOW : 0;
  if (fstatat(Fd(folder), c->c_str(), &st, flags) != 0) return Errno();
  if (folder_wanted ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    return Status::Error(S_ISLNK(st.st_mode) ? ELOOP : folder_wanted ? ENOTDIR : EISDIR);
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

Result<FileId> FileIdIn(const Folder& folder, const WString& name, Links links, bool* read_only) {
  if (read_only) *read_only = false;  // a rename over a file needs no write access to it
  return ItemIdIn(folder, name, false, links);
}

Result<EntryTimes> TimesIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  return TimesAt(Fd(folder), c->c_str(), 0);
}

Result<EntryTimes> TimesAt(int fd, const char* name, int flags) {
  struct statx st;
  if (statx(fd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return Errno();
  std::optional<FileTime> access = ToFileTime(st.stx_atime);
  std::optional<FileTime> write = ToFileTime(st.stx_mtime);
  // Not every file system records a birth time; the last write stands in.
  std::optional<FileTime> creation = (st.stx_mask & STATX_BTIME) ? ToFileTime(st.stx_btime) : write;
  if (!access || !write || !creation) return Status::Error(EOVERFLOW);
  return EntryTimes{*creation, *access, *write};
}

Result<File> CreateFileIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  if (int fault = InjectedFault()) return Status::Error(fault);
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  return StreamFromFd(openat(Fd(folder), c->c_str(), flags, 0666), "wb");
}

Result<File> ReadFileIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  if (int fault = InjectedOpenFault(name)) return Status::Error(fault);
  // Non-blocking, so that a FIFO planted at the name cannot hold the install.
  int fd = openat(Fd(folder), c->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  Result<File> file = StreamFromFd(RegularOnly(fd), "rb");
  if (file) MarkReadFault(file->stream(), name);
  return file;
}

namespace {

// Opens `name` of `folder` to read with `flags` besides, telling the system
// not to move its last-access time: O_NOATIME, which is for the file's owner
// (and root) only. For others Close puts `last_access` back (the time read
// through the handle where none is given), which moves the change time.
// Non-blocking, so that a FIFO put in place of a file cannot hold the run.
Result<File> OpenKeepingAccess(const Folder& folder, const std::string& name, int flags,
                               std::optional<FileTime> last_access) {
  flags |= O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(Fd(folder), name.c_str(), flags | O_NOATIME);
  bool told = fd >= 0;
  if (!told && errno == EPERM) fd = openat(Fd(folder), name.c_str(), flags);
  Result<File> file = StreamFromFd(RegularOnly(fd), "rb");
  if (!file || told) return file;
  if (!last_access) {
    Result<EntryTimes> times = file->Times();
    if (!times) return times.status();
    last_access = times->last_access;
  }
  file->KeepLastAccess(*last_access);
  return file;
}

}  // namespace

Result<File> ReadFileKeepingAccessIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  return OpenKeepingAccess(folder, *c, O_NOFOLLOW, std::nullopt);
}

Result<File> OpenSourceFileIn(const Folder& folder, const WString& name, const EntryTimes& times) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  return OpenKeepingAccess(folder, *c, 0, times.last_access);  // the tree's links followed
}

Result<FileId> WritableFileIn(const Folder& folder, const WString& name, bool* read_only) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  *read_only = false;  // a rename over it needs no write access to it
  // Never opened unless a regular file: opening a FIFO or a device for
  // writing can do something.
  struct stat before;
  if (fstatat(Fd(folder), c->c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return Errno();
  if (!S_ISREG(before.st_mode)) return Status::Error(EINVAL);
  bool no_write_bits = (before.st_mode & 0222) == 0;
  int fd = openat(Fd(folder), c->c_str(),
                  (no_write_bits ? O_RDONLY : O_WRONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Errno();
  struct stat st;
  int statted = fstat(fd, &st);
  Status failed = Errno();
  close(fd);
  if (statted != 0) return failed;
  // What was opened is what was looked at: nothing put there in between.
  if (!S_ISREG(st.st_mode) || st.st_ino != before.st_ino || st.st_dev != before.st_dev) {
    return Status::Error(EINVAL);
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Status SetReadOnlyIn(const Folder&, const WString&, const FileId&, bool) { return Status(); }

Status RemoveFileIn(const Folder& folder, const WString& name) {
  std::optional<std::string> c = Component(name);
  if (!c) return BadName();
  return Seamed([&] { return unlinkat(Fd(folder), c->c_str(), 0); });
}

Status MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                       const WString& to_name, bool replace) {
  std::optional<std::string> source = Component(from_name), destination = Component(to_name);
  if (!source || !destination) return BadName();
  if (int fault = InjectedFault()) return Status::Error(fault);
  if (replace) return Checked(0, renameat(Fd(from), source->c_str(), Fd(to), destination->c_str()));
  // A hard link refuses an existing destination, which rename would replace.
  Status linked = Checked(0, linkat(Fd(from), source->c_str(), Fd(to), destination->c_str(), 0));
  if (!linked) return linked;
  Status unlinked = Checked(0, unlinkat(Fd(from), source->c_str(), 0));
  if (!unlinked) unlinkat(Fd(to), destination->c_str(), 0);
  return unlinked;
}

Status MoveKnownItem(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, const FileId& expected, bool folder) {
  std::optional<std::string> source = Component(from_name), destination = Component(to_name);
  if (!source || !destination) return BadName();
  Result<FileId> there = ItemIdIn(from, from_name, folder);  // not through a link
  if (!there) return there.status();
  if (!(*there == expected)) return Status::Refused();
  if (int fault = InjectedFault()) return Status::Error(fault);
  // Atomic, and never over anything: whatever is at the name now arrives.
  Status moved = Checked(
      0, renameat2(Fd(from), source->c_str(), Fd(to), destination->c_str(), RENAME_NOREPLACE));
  if (!moved) return moved;
  Result<FileId> arrived = ItemIdIn(to, to_name, folder);
  if (arrived && *arrived == expected) return Status();
  // Put in its place meanwhile: it goes back, and the move fails.
  (void)renameat2(Fd(to), destination->c_str(), Fd(from), source->c_str(), RENAME_NOREPLACE);
  return arrived ? Status::Refused() : arrived.status();
}

Status PlaceNewFile(const Folder& from, const WString& from_name, const Folder& to,
                    const WString& to_name) {
  Status moved = MoveFileBetween(from, from_name, to, to_name, false);
  if (moved) RecordInheritedForTesting(to_name);
  return moved;
}

Status ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                     const WString& replacement, const WString& backup) {
  std::optional<std::string> target = Component(name), kept = Component(backup);
  std::optional<std::string> staged = Component(replacement);
  if (!target || !kept || !staged) return BadName();
  // The backup is a second name of the old file, so the target is never missing.
  Status linked =
      Seamed([&] { return linkat(Fd(folder), target->c_str(), Fd(staging), kept->c_str(), 0); });
  if (!linked) return linked;
  Status renamed =
      Seamed([&] { return renameat(Fd(staging), staged->c_str(), Fd(folder), target->c_str()); });
  if (!renamed) unlinkat(Fd(staging), kept->c_str(), 0);
  return renamed;
}

Result<std::vector<FolderItem>> ListFolder(const Folder& folder) {
  // A descriptor of its own for the listing, read from the start: the held
  // one may have been listed before. (Not "." opened anew: that needs the
  // right to search the folder, which its listing does not.)
  int fd = fcntl(Fd(folder), F_DUPFD_CLOEXEC, 0);
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (!d) {
    Status failed = Errno();
    if (fd >= 0) close(fd);
    return failed;
  }
  rewinddir(d);
  std::vector<FolderItem> items;
  int error = 0;
  for (;;) {
    errno = 0;
    if ((error = InjectedFault()) != 0) break;  // stands in for a listing that breaks off
    struct dirent* e = readdir(d);
    if (!e) {
      error = errno;
      break;
    }
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    FolderItem item{FromUtf8Escaped(name), NodeKind::kFile};
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, 0) == 0) {
      item.kind = KindOf(st.st_mode);
    } else if (errno == ENOENT && fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      item.kind = NodeKind::kLink;  // a link that leads nowhere
      item.os_error = ENOENT;
    } else {
      item.kind = errno == ENOENT ? NodeKind::kMissing : NodeKind::kOther;
      item.os_error = errno;
    }
    items.push_back(std::move(item));
  }
  closedir(d);
  if (error != 0) return Status::Error(error);
  return items;
}

void FolderLock::Release() {
  if (handle_ != -1) close(static_cast<int>(handle_));  // ends the hold
  handle_ = -1;
}

Result<FolderLock> LockFolder(const Folder& folder, const WString&) {
  // A descriptor of its own: the hold lasts as long as the lock, whatever becomes of `folder`.
  int fd = openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Errno();
  FolderLock lock(fd);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Errno();
  return lock;
}

bool IsHeldElsewhere(int os_error) { return os_error == EWOULDBLOCK; }

const bool kHasFileSystemSync = true;

Status SyncFileSystem(const Folder& folder) {
  return Seamed([&] { return syncfs(Fd(folder)); });
}

struct Sha256::State {
  EVP_MD_CTX* context;
  bool ok;
};

Sha256::Sha256() : state_(new State{EVP_MD_CTX_new(), false}) {
  state_->ok = state_->context && EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(state_->context);
  delete state_;
}

void Sha256::Update(const void* data, size_t size) {
  if (state_->ok) state_->ok = EVP_DigestUpdate(state_->context, data, size) == 1;
}

bool Sha256::Finish(uint8_t digest[32]) {
  unsigned int size = 0;
  return state_->ok && EVP_DigestFinal_ex(state_->context, digest, &size) == 1 && size == 32;
}

MappedFile::MappedFile(const WString& path) {
  // Reads leave the last-access time alone where the OS lets this user ask.
  std::string native = ToNative(path);
  // Non-blocking: a FIFO put at a listed name cannot hold the build.
  int fd = open(native.c_str(), O_RDONLY | O_NOATIME | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    status_ = Status::Error(errno);
    return;
  }
  if (fstat(fd, &st) != 0) {
    status_ = Status::Error(errno);
  } else if (!S_ISREG(st.st_mode)) {
    status_ = Status::Error(EINVAL);  // a device or FIFO has no bytes to map
  } else if (st.st_size > 0) {
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      data_ = static_cast<const uint8_t*>(p);
      size_ = static_cast<size_t>(st.st_size);
    } else {
      status_ = Status::Error(errno);
    }
  }
  close(fd);  // the mapping stays
}

MappedFile::~MappedFile() {
  if (data_) munmap(const_cast<uint8_t*>(data_), size_);
}

int ProcessorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

struct Monitor::State {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
};

Monitor::Monitor() : state_(new State) {}
Monitor::~Monitor() {
  pthread_cond_destroy(&state_->condition);
  pthread_mutex_destroy(&state_->mutex);
  delete state_;
}
void Monitor::Lock() { pthread_mutex_lock(&state_->mutex); }
void Monitor::Unlock() { pthread_mutex_unlock(&state_->mutex); }
void Monitor::Wait() { pthread_cond_wait(&state_->condition, &state_->mutex); }
void Monitor::NotifyAll() { pthread_cond_broadcast(&state_->condition); }

struct Thread::State {
  pthread_t id;
  void (*work)(void*);
  void* argument;
};

namespace {
void* RunThread(void* state) {
  auto* s = static_cast<Thread::State*>(state);
  s->work(s->argument);
  return nullptr;
}
}  // namespace

void SleepMilliseconds(int milliseconds) {
  struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

namespace {

void MaskInterrupts(int how, sigset_t* before = nullptr) {
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  pthread_sigmask(how, &interrupts, before);
}

}  // namespace

Result<Thread> StartThread(void (*work)(void*), void* argument) {
  Thread thread;
  thread.state_ = new Thread::State{pthread_t(), work, argument};
  // A thread starts with interrupts blocked, as its mask is inherited: they
  // reach the main thread only, which HoldInterrupts holds them off for
  // (the process's signal goes to any thread that does not block it).
  sigset_t before;
  MaskInterrupts(SIG_BLOCK, &before);
  int error = pthread_create(&thread.state_->id, nullptr, RunThread, thread.state_);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (error) {
    delete thread.state_;
    thread.state_ = nullptr;
    return Status::Error(error);
  }
  return thread;
}

void Thread::Join() {
  if (!state_) return;
  pthread_join(state_->id, nullptr);
  delete state_;
  state_ = nullptr;
}

namespace {

// What an interrupt removes: set before the handler is armed, read only by it.
char g_remove_on_interrupt[4096];
volatile std::sig_atomic_t g_remove_armed = 0;

const char* volatile g_interrupt_message = nullptr;

void RemoveAndExit(int signal) {
  if (g_remove_armed) unlink(g_remove_on_interrupt);
  if (const char* message = g_interrupt_message) {
    ssize_t written = write(STDERR_FILENO, message, std::strlen(message));
    (void)written;  // the process ends either way
  }
  _exit(128 + signal);
}

}  // namespace

void RemoveOnInterrupt(const WString& path, const char* message) {
  std::string native = ToNative(path);
  if (native.size() >= sizeof g_remove_on_interrupt) return;
  std::memcpy(g_remove_on_interrupt, native.c_str(), native.size() + 1);
  g_interrupt_message = message;
  g_remove_armed = native.empty() ? 0 : 1;
  struct sigaction action {};
  action.sa_handler = RemoveAndExit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void HoldInterrupts() { MaskInterrupts(SIG_BLOCK); }

void ReleaseInterrupts() { MaskInterrupts(SIG_UNBLOCK); }

void CancelRemoveOnInterrupt() {
  g_remove_armed = 0;
  g_interrupt_message = nullptr;
}

bool IsAlreadyThere(int os_error) { return os_error == EEXIST; }

WString DisplayPath(WString path) {
  std::replace(path.begin(), path.end(), u'\\', u'/');
  return path;
}

WString ErrorMessage(int code) { return FromUtf8Escaped(std::strerror(code)); }

void DebugOutput(const WString& text) { std::fputs(ToUtf8(text).c_str(), stderr); }

void DebugOutputA(const char* text) { std::fputs(text, stderr); }

#ifdef UPDATER_FAULT_SEAM
int InjectedError() { return EIO; }
int DiskFullError() { return ENOSPC; }
void KillProcessForTesting() {
  std::raise(SIGKILL);
  _exit(137);
}
#endif

}  // namespace updater::platform

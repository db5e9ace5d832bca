// POSIX implementation of the platform services. Paths arrive with "\"
// separators and become "/" only here, at the file-system boundary.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/filetime.h"
#include "platform/path_rules.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace platform {
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

std::optional<WString> CurrentDirectory() {
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

bool FileExists(const WString& path) {
  struct stat st;
  return stat(ToNative(path).c_str(), &st) == 0;
}

Presence Probe(const WString& path) {
  struct stat st;
  if (lstat(ToNative(path).c_str(), &st) == 0) return Presence::kPresent;
  return errno == ENOENT || errno == ENOTDIR ? Presence::kMissing : Presence::kUnreachable;
}

bool IsDirectory(const WString& path) {
  struct stat st;
  return stat(ToNative(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<int64_t> FileSize(const WString& path) {
  struct stat st;
  if (stat(ToNative(path).c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

bool MakeDirectory(const WString& path) {
  return !InjectedFault() && mkdir(ToNative(path).c_str(), 0777) == 0;
}

bool RemoveFile(const WString& path) {
  return !InjectedFault() && unlink(ToNative(path).c_str()) == 0;
}

bool RenameFileReplacing(const WString& from, const WString& to) {
  return !InjectedFault() && rename(ToNative(from).c_str(), ToNative(to).c_str()) == 0;
}

const bool kHasFileSystemSync = true;

bool SyncFileSystem(const WString& path) {
  int fd = open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = !InjectedFault() && syncfs(fd) == 0;
  close(fd);
  return ok;
}

bool SyncStreamToDisk(std::FILE* stream) { return fsync(fileno(stream)) == 0; }

void KillProcessForTesting() {
  std::raise(SIGKILL);
  _exit(137);
}

namespace {

// Hands every name of the listing `d` but "." and ".." to `each`, then
// closes it; false when the listing breaks off.
bool ReadListing(DIR* d, const std::function<void(const std::string& name)>& each) {
  for (;;) {
    errno = 0;
    if (InjectedFault()) {  // stands in for a listing that breaks off
      errno = EIO;
      break;
    }
    struct dirent* e = readdir(d);
    if (!e) break;
    std::string name = e->d_name;
    if (name != "." && name != "..") each(name);
  }
  bool listed = errno == 0;
  closedir(d);
  return listed;
}

}  // namespace

std::optional<std::vector<DirItem>> ListDirectory(const WString& dir) {
  std::string native = ToNative(dir);
  DIR* d = opendir(native.c_str());
  if (!d) return std::nullopt;
  std::vector<DirItem> items;
  bool listed = ReadListing(d, [&](const std::string& name) {
    DirItem item{FromUtf8Escaped(name), ItemKind::kFile};
    std::string path = native + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      item.kind = S_ISDIR(st.st_mode)   ? ItemKind::kDirectory
                  : S_ISREG(st.st_mode) ? ItemKind::kFile
                                        : ItemKind::kOther;
    } else if (errno != ENOENT || lstat(path.c_str(), &st) == 0) {
      item.kind = ItemKind::kUnreadable;  // a link to nothing counts as unreadable
      item.os_error = errno;
    }  // else it vanished since the listing: the reader skips it
    items.push_back(std::move(item));
  });
  if (!listed) return std::nullopt;
  return items;
}

TimesRead GetFileTimes(const WString& path, EntryTimes* times) {
  struct statx st;
  if (statx(AT_FDCWD, ToNative(path).c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) {
    return errno == ENOENT ? TimesRead::kMissing : TimesRead::kFailed;
  }
  std::optional<FileTime> access = ToFileTime(st.stx_atime);
  std::optional<FileTime> write = ToFileTime(st.stx_mtime);
  // Not every file system records a birth time; the last write stands in.
  std::optional<FileTime> creation = (st.stx_mask & STATX_BTIME) ? ToFileTime(st.stx_btime) : write;
  if (!access || !write || !creation) return TimesRead::kOutOfRange;
  *times = EntryTimes{*creation, *access, *write};
  return TimesRead::kOk;
}

std::optional<FileId> GetFileId(const WString& path) {
  struct stat st;
  if (stat(ToNative(path).c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::optional<WString> ResolvedPath(const WString& path) {
  char* resolved = realpath(ToNative(path).c_str(), nullptr);
  if (!resolved) return std::nullopt;
  WString out = FromNative(resolved);
  std::free(resolved);
  return out;
}

namespace {

// A C runtime stream that owns the descriptor `fd` (none when negative); a
// closed File, with the descriptor closed, when none can be made.
File StreamFromFd(int fd, const char* mode) {
  if (fd < 0) return File();
  std::FILE* stream = fdopen(fd, mode);
  if (!stream) close(fd);
  return File(stream);
}

}  // namespace

File OpenSourceFile(const WString& path, const EntryTimes& times) {
  std::string native = ToNative(path);
  // O_NOATIME is for the file's owner (and root) only; others read plainly.
  int fd = open(native.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  bool told = fd >= 0;
  if (!told && errno == EPERM) fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  File file = StreamFromFd(fd, "rb");
  if (file && !told) file.KeepLastAccess(times.last_access);
  return file;
}

size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fileno(stream), static_cast<char*>(buffer) + done, size - done,
                        static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool SetStreamTimes(std::FILE* stream, uint64_t, uint64_t last_access, uint64_t last_write) {
  // Linux has no call that sets a birth time, so the creation time stays as the OS made it.
  struct timespec ts[2] = {ToTimespec(last_access), ToTimespec(last_write)};
  return futimens(fileno(stream), ts) == 0;
}

bool SetStreamLastAccess(std::FILE* stream, uint64_t last_access) {
  struct timespec ts[2] = {ToTimespec(last_access), {0, UTIME_OMIT}};
  return futimens(fileno(stream), ts) == 0;
}

File CreateNewFile(const WString& path) {
  return StreamFromFd(
      open(ToNative(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666),
      "wb");
}

File OpenFile(const WString& path, const char* mode) {
  return File(std::fopen(ToNative(path).c_str(), mode));
}

bool TruncateFile(const WString& path, int64_t length) {
  return truncate(ToNative(path).c_str(), static_cast<off_t>(length)) == 0;
}

// --- Folders held by descriptor: every call is relative to one, and no
// link is ever followed below the folder the player chose.

namespace {

int Fd(const Folder& folder) { return static_cast<int>(folder.handle()); }

// One component: never empty, ".", ".." or holding a separator, so that no
// call below can leave the folder it is given.
bool IsOneComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// `name` in the OS form, or empty (refused by every call) when it is not one component.
std::string Component(const WString& name) {
  std::string native = ToUtf8(name);
  return IsOneComponent(native) ? native : std::string();
}

Folder FolderFromFd(int fd, WString path) {
  return fd < 0 ? Folder() : Folder(fd, std::move(path));
}

WString ChildPath(const Folder& parent, const WString& name) {
  return parent.path() + u"\\" + name;
}

}  // namespace

void Folder::Close() {
  if (handle_ != -1) close(static_cast<int>(handle_));
  handle_ = -1;
}

Folder OpenFolder(const WString& path) {
  return FolderFromFd(open(ToNative(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), path);
}

NodeKind KindIn(const Folder& folder, const WString& name) {
  struct stat st;
  if (fstatat(Fd(folder), Component(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? NodeKind::kMissing : NodeKind::kUnreachable;
  }
  if (S_ISLNK(st.st_mode)) return NodeKind::kLink;
  if (S_ISDIR(st.st_mode)) return NodeKind::kFolder;
  return S_ISREG(st.st_mode) ? NodeKind::kFile : NodeKind::kOther;
}

Folder OpenSubfolder(const Folder& parent, const WString& name) {
  int fd =
      openat(Fd(parent), Component(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return FolderFromFd(fd, ChildPath(parent, name));
}

Folder CreateSubfolder(const Folder& parent, const WString& name, bool private_only) {
  if (InjectedFault() || mkdirat(Fd(parent), Component(name).c_str(), private_only ? 0700 : 0777)) {
    return Folder();
  }
  return OpenSubfolder(parent, name);
}

bool RemoveSubfolder(const Folder& parent, const WString& name) {
  return !InjectedFault() && unlinkat(Fd(parent), Component(name).c_str(), AT_REMOVEDIR) == 0;
}

bool IsPrivateFolder(const Folder& folder) {
  struct stat st;
  return fstat(Fd(folder), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<FileId> FileIdIn(const Folder& folder, const WString& name) {
  struct stat st;
  if (fstatat(Fd(folder), Component(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

File CreateFileIn(const Folder& folder, const WString& name) {
  int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  return StreamFromFd(openat(Fd(folder), Component(name).c_str(), flags, 0666), "wb");
}

File ReadFileIn(const Folder& folder, const WString& name) {
  int fd = openat(Fd(folder), Component(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  return StreamFromFd(fd, "rb");
}

bool CanWriteFileIn(const Folder& folder, const WString& name) {
  int fd =
      openat(Fd(folder), Component(name).c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool RemoveFileIn(const Folder& folder, const WString& name) {
  return !InjectedFault() && unlinkat(Fd(folder), Component(name).c_str(), 0) == 0;
}

bool MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, bool replace) {
  std::string source = Component(from_name), destination = Component(to_name);
  if (InjectedFault()) return false;
  if (replace) return renameat(Fd(from), source.c_str(), Fd(to), destination.c_str()) == 0;
  // A hard link refuses an existing destination, which rename would replace.
  if (linkat(Fd(from), source.c_str(), Fd(to), destination.c_str(), 0) != 0) return false;
  if (unlinkat(Fd(from), source.c_str(), 0) == 0) return true;
  unlinkat(Fd(to), destination.c_str(), 0);
  return false;
}

bool ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                   const WString& replacement, const WString& backup) {
  std::string target = Component(name), kept = Component(backup);
  // The backup is a second name of the old file, so the target is never missing.
  if (InjectedFault() || linkat(Fd(folder), target.c_str(), Fd(staging), kept.c_str(), 0) != 0) {
    return false;
  }
  if (!InjectedFault() &&
      renameat(Fd(staging), Component(replacement).c_str(), Fd(folder), target.c_str()) == 0) {
    return true;
  }
  unlinkat(Fd(staging), kept.c_str(), 0);
  return false;
}

std::optional<std::vector<WString>> ListFolder(const Folder& folder) {
  int fd = openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (!d) {
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  std::vector<WString> names;
  if (!ReadListing(d,
                   [&names](const std::string& name) { names.push_back(FromUtf8Escaped(name)); })) {
    return std::nullopt;
  }
  return names;
}

struct FolderLock {
  int fd;
};

FolderLock* LockFolder(const Folder& folder) {
  // A descriptor of its own: the hold lasts until UnlockFolder, whatever becomes of `folder`.
  int fd = openat(Fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  return new FolderLock{fd};
}

void UnlockFolder(FolderLock* lock) {
  if (!lock) return;
  close(lock->fd);  // ends the hold
  delete lock;
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
  int fd = open(native.c_str(), O_RDONLY | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM) fd = open(native.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      data_ = static_cast<const uint8_t*>(p);
      size_ = static_cast<size_t>(st.st_size);
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

struct Thread {
  pthread_t id;
  void (*work)(void*);
  void* argument;
};

namespace {
void* RunThread(void* thread) {
  Thread* t = static_cast<Thread*>(thread);
  t->work(t->argument);
  return nullptr;
}
}  // namespace

Thread* StartThread(void (*work)(void*), void* argument) {
  Thread* thread = new Thread{pthread_t(), work, argument};
  if (pthread_create(&thread->id, nullptr, RunThread, thread) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

void JoinThread(Thread* thread) {
  pthread_join(thread->id, nullptr);
  delete thread;
}

int LastErrorCode() { return errno; }

WString ErrorMessage(int code) { return FromUtf8Escaped(std::strerror(code)); }

void DebugOutput(const WString& text) { std::fputs(ToUtf8(text).c_str(), stderr); }

void DebugOutputA(const char* text) { std::fputs(text, stderr); }

}  // namespace platform

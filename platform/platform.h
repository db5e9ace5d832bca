// The operating-system services the updater relies on. One implementation
// is built per target: Win32 (platform_win.cc) or POSIX (platform_posix.cc).
// Paths and texts are UTF-16 with "\" between components everywhere outside
// this folder; the implementations convert to the OS form themselves.
//
// Folders are held by handle (Folder) and everything inside one is reached
// through it, one component at a time. Calls that take a path serve only
// where a path is all there is: the command line, the working folder and the
// program's own file. Every call that can fail returns a Status or Result
// carrying the OS's error captured inside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/status.h"

namespace updater {

using WString = std::u16string;

// Longest path the updater handles, in UTF-16 units, without a terminator.
inline constexpr size_t kMaxPathUnits = 259;

namespace platform {

// Message box styles and the answers the program looks at.
enum class BoxStyle : unsigned { kOk = 0x00, kError = 0x10, kQuestion = 0x24, kInformation = 0x40 };
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Splits the process command line; argv[0] first. None when it cannot be split.
std::optional<std::vector<WString>> CommandLineArguments();

// Full path of the running executable's own file; none when unknown.
std::optional<WString> OwnExecutablePath();

// Shows a modal box without owner and returns the button pressed (kIdYes, kIdNo or kIdOk).
int ShowMessageBox(const WString& text, const WString& caption, BoxStyle style);

// The working folder as an absolute path; none when it cannot be read or is too long.
std::optional<WString> WorkingFolder();

// Joins `more` to `base` with one "\", removing "." components and resolving "..".
// None when the result would exceed kMaxPathUnits.
std::optional<WString> AppendPath(const WString& base, const WString& more);

// `path`, in the library's form ("\" between components), as this system
// writes paths, for messages and trace lines: "/" between them on POSIX.
WString DisplayPath(WString path);

// The path of `file` relative to the folder `dir`, starting with ".\"; none when there is none.
std::optional<WString> RelativePathTo(const WString& dir, const WString& file);

// True when `os_error` says that nothing is at a path (or a folder on its way is missing).
bool IsMissing(int os_error);
// The OS's error for nothing at a path, where a check found nothing before any call could.
int MissingError();

// The OS's error for a name that is not a single component ("", ".", "..",
// or one holding a separator): no call acts on such a name.
int BadNameError();

// An identity for an existing file that is equal for two paths naming the same file.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId& o) const { return volume == o.volume && index == o.index; }
};

// The identity of what is at `path`, links followed.
Result<FileId> GetFileId(const WString& path);

// True for an existing folder at `path`, links followed.
bool IsFolder(const WString& path);

// Creates one folder level at `path`.
Status MakeFolder(const WString& path);

// The size in bytes of the file at `path`, links followed.
Result<int64_t> FileSize(const WString& path);

// Removes the file at `path` (a link itself, never what it leads to).
Status RemoveFile(const WString& path);

// Renames `from` to `to` on the same volume, replacing a file at `to`.
Status RenameFileReplacing(const WString& from, const WString& to);

// The absolute path of what is at `path` with every link resolved.
Result<WString> ResolvedPath(const WString& path);

// Creates `path` for binary writing; fails when anything (a file, a link,
// even a dangling one) is already there.
Result<File> CreateNewFile(const WString& path);

// Opens a file with a C runtime mode ("rb", "wb", "ab").
Result<File> OpenFile(const WString& path, const char* mode);

// Opens the running program's own file, at `path`, for reading, to be held
// while it is read: on POSIX the very file the process runs, whatever has
// been renamed over its name since; on Windows shared for reading only, so
// that nobody can write, rename or remove it while it is held, and only
// when the system confirms it is the file the program was loaded from.
Result<File> OpenOwnProgram(const WString& path);

// Cuts the file at `path` back to `length` bytes.
Status TruncateFile(const WString& path, int64_t length);

// A folder held open, so that what is done in it happens in this very folder
// whatever is renamed or planted in the meantime. On Windows the handle
// shares no deletion, so the folder can be neither renamed nor removed while
// it is held. Move-only; closed when it goes.
class Folder {
 public:
  Folder() = default;
  Folder(intptr_t handle, WString path) : handle_(handle), path_(std::move(path)) {}
  Folder(Folder&& other) noexcept
      : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}
  Folder& operator=(Folder&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, -1);
      path_ = std::move(other.path_);
    }
    return *this;
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() { Close(); }

  explicit operator bool() const { return handle_ != -1; }
  // The descriptor or handle.
  intptr_t handle() const { return handle_; }
  // The path it was opened by: for messages, and for Windows calls that take
  // names, which are safe while every folder on it is held.
  const WString& path() const { return path_; }
  void Close();

 private:
  intptr_t handle_ = -1;
  WString path_;
};

// Opens the folder at `path`, following links (the player or the studio chose it).
Result<Folder> OpenFolder(const WString& path);

// Whether links met inside a held folder are followed: the studio's source
// tree follows them, the game folder never does.
enum class Links { kRefuse, kFollow };

// What is at `name` (one component) in a folder. With Links::kRefuse a link
// or junction is kLink; with Links::kFollow it is what it leads to. Fails
// when that cannot be told (a name that is not one component included).
enum class NodeKind { kMissing, kFile, kFolder, kLink, kOther };
Result<NodeKind> KindIn(const Folder& folder, const WString& name, Links links = Links::kRefuse);

// Opens the folder `name` in `parent`; fails when it is missing, a file, or
// (with Links::kRefuse) a link or junction, also one the file system does
// not mark as such.
Result<Folder> OpenSubfolder(const Folder& parent, const WString& name,
                             Links links = Links::kRefuse);

// Creates the folder `name` in `parent` and opens it; when `private_only`,
// only this user (and on Windows SYSTEM and Administrators) may enter or
// change it. Fails when anything, a link included, is already there.
Result<Folder> CreateSubfolder(const Folder& parent, const WString& name, bool private_only);

// Removes the empty folder `name` in `parent`; never a link, never anything in it.
Status RemoveSubfolder(const Folder& parent, const WString& name);

// True when `folder` is private as CreateSubfolder makes it: POSIX, owned by
// this user with mode exactly 0700; Windows, owned by this user or a group
// this process acts for.
Result<bool> IsPrivateFolder(const Folder& folder);

// Success when this process may add items to `folder` and take them from
// it (a dry run asks before the install would meet a refusal); else the
// OS's refusal.
Status MayChangeFolder(const Folder& folder);

// The bytes this user may still write on the volume of `folder`.
Result<uint64_t> FreeSpace(const Folder& folder);

// The permission bits of the regular file `name` in `folder` (POSIX; 0 on
// Windows, where replacing a file keeps its access list).
Result<uint32_t> ModeIn(const Folder& folder, const WString& name);

// The identity of a held folder.
Result<FileId> FolderId(const Folder& folder);

// The identity of the regular file `name` in `folder`; fails when it is
// missing or not a regular file (with Links::kRefuse, also a link). Where
// `read_only` is given, it tells whether the file has the read-only
// attribute (Windows; always false on POSIX), read through the same handle,
// which opens it for no access at all.
Result<FileId> FileIdIn(const Folder& folder, const WString& name, Links links = Links::kRefuse,
                        bool* read_only = nullptr);

// The three times of the file `name` in `folder`, links followed. A time
// before 1601 or beyond a FILETIME gives the error TimeOutOfRangeError().
Result<EntryTimes> TimesIn(const Folder& folder, const WString& name);
int TimeOutOfRangeError();

// Creates `name` in `folder` for binary writing; fails when anything, even
// a dangling link, is already there.
Result<File> CreateFileIn(const Folder& folder, const WString& name);

// Opens the regular file `name` in `folder` for binary reading, never
// through a link.
Result<File> ReadFileIn(const Folder& folder, const WString& name);

// As ReadFileIn, for a dry run: the file's last-access time stays as it
// was (O_NOATIME where the system allows it, else put back through the
// same handle at Close; on Windows the handle is told not to move it).
Result<File> ReadFileKeepingAccessIn(const Folder& folder, const WString& name);

// Opens the file `name` of the studio's tree (links followed) for binary
// reading without moving its last-access time: the OS is told not to update
// it (O_NOATIME; SetFileTime with 0xFFFFFFFF), and where that is not
// possible or not honoured, closing the File puts `times.last_access` back.
Result<File> OpenSourceFileIn(const Folder& folder, const WString& name, const EntryTimes& times);

// The identity of the regular file `name` in `folder` when it can be
// opened for writing now (not held by another program), read through the
// handle that opened it, never through a link; it is not changed. A file
// that is only read-only is given too: on Windows (its attribute) with
// `read_only` set, as it must lose the attribute before it is replaced or
// removed; on POSIX (a mode without write bits) as any, since a rename over
// it needs no write access to it.
Result<FileId> WritableFileIn(const Folder& folder, const WString& name, bool* read_only);

// Sets (`read_only`) or clears the read-only attribute of the regular file
// `name` of `folder`, through a handle opened without following links, only
// when it is the file `expected`; its other attributes and times stay.
// Nothing on POSIX.
Status SetReadOnlyIn(const Folder& folder, const WString& name, const FileId& expected,
                     bool read_only);

// Removes the file `name` (a link itself, never what it leads to) from `folder`.
Status RemoveFileIn(const Folder& folder, const WString& name);

// Moves the file `from_name` of `from` to `to_name` in `to` (same volume);
// with `replace` a file there is replaced, otherwise it must not exist.
Status MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                       const WString& to_name, bool replace);

// Moves the regular file `from_name` of `from` (with `folder`, the folder)
// to `to_name` in `to` (which must not exist) only when it is the item
// `expected`: never one of the other kind, a link or another item put at
// its name. POSIX renames it and, where what
// arrived is not `expected`, renames it back; Windows opens it without
// following reparse points, checks it, and renames it through that handle.
Status MoveKnownItem(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, const FileId& expected, bool folder);
inline Status MoveKnownFile(const Folder& from, const WString& from_name, const Folder& to,
                            const WString& to_name, const FileId& expected) {
  return MoveKnownItem(from, from_name, to, to_name, expected, false);
}

// Moves the folder `from_name` of `from`, with all it holds, as MoveKnownFile
// moves a file: only when it is the folder `expected`, never a link, a
// junction or another item put at its name, and never over anything.
inline Status MoveKnownFolder(const Folder& from, const WString& from_name, const Folder& to,
                              const WString& to_name, const FileId& expected) {
  return MoveKnownItem(from, from_name, to, to_name, expected, true);
}

// Moves the new file `from_name` of the staging folder `from` to `to_name`
// in `to` (which must not exist), where it gets the access a file created
// there would have: the folder's inheritable entries and nothing of the
// staging folder's (Windows, through a handle of the file held across the
// move, never by its new name). POSIX moves it as it is, its mode its own.
Status PlaceNewFile(const Folder& from, const WString& from_name, const Folder& to,
                    const WString& to_name);

// Puts the file `replacement` of `staging` in the place of the existing file
// `name` of `folder` in one step where the OS can, and keeps the old file as
// `backup` in `staging`. `name` then has the bytes and all three times of
// `replacement`. Fails with nothing changed when it cannot be done.
Status ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                     const WString& replacement, const WString& backup);

// One item of a folder's listing and what it is, links followed. A name
// that has no UTF-16 form holds unpaired surrogates.
struct FolderItem {
  WString name;
  NodeKind kind = NodeKind::kFile;  // kMissing: gone since the listing; kLink: leads nowhere
  int os_error = 0;                 // why its kind cannot be told, where it cannot
};

// The items of `folder` without "." and "..", in the file system's order;
// fails when it cannot be listed whole.
Result<std::vector<FolderItem>> ListFolder(const Folder& folder);

// An exclusive hold on a folder, so that one install at a time runs in it.
// Move-only; released when it goes.
class FolderLock {
 public:
  FolderLock() = default;
  explicit FolderLock(intptr_t handle) : handle_(handle) {}
  FolderLock(FolderLock&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
  FolderLock& operator=(FolderLock&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() { Release(); }

 private:
  void Release();
  intptr_t handle_ = -1;
};

// Takes the hold on `folder` for this process; fails when another process
// holds it (the error says so: IsHeldElsewhere) or it cannot be taken.
// `name` names the hold where the OS needs a name for it (Windows: a named
// semaphore); every program that installs into the same folder must agree.
Result<FolderLock> LockFolder(const Folder& folder, const WString& name);
bool IsHeldElsewhere(int os_error);

// True where one call writes everything cached for a file system to disk
// (SyncFileSystem); elsewhere each file must be synced on its own.
extern const bool kHasFileSystemSync;

// Writes everything cached for the file system holding `folder` to disk.
Status SyncFileSystem(const Folder& folder);

// The SHA-256 digest of a byte stream fed piece by piece (the system's own
// implementation: CryptoAPI on Windows, libcrypto on POSIX).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const void* data, size_t size);
  // Writes the digest of everything fed into `digest`; false when the system
  // could not compute it. Nothing may be fed afterwards.
  bool Finish(uint8_t digest[32]);

 private:
  struct State;
  State* state_;
};

// A whole file mapped into memory for reading; empty when it cannot be (or is empty).
class MappedFile {
 public:
  explicit MappedFile(const WString& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // Why there is no mapping: the failed call's error; success for an empty file.
  Status status() const { return status_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  Status status_;
  [[maybe_unused]] intptr_t handle_ = -1;  // the mapping object, where the OS has one
};

// The number of processors the process may run on; at least 1.
int ProcessorCount();

// A lock with a condition to wait for, for threads of one process.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  void Lock();
  void Unlock();
  // Unlocks, waits until another thread calls NotifyAll, and locks again.
  void Wait();
  void NotifyAll();

 private:
  struct State;
  State* state_;
};

// A thread of this process running `work(argument)`, joined when it goes.
// Move-only; a default one runs nothing.
class Thread {
 public:
  Thread() = default;
  Thread(Thread&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  Thread& operator=(Thread&& other) noexcept {
    if (this != &other) {
      Join();
      state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
  }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { Join(); }

  explicit operator bool() const { return state_ != nullptr; }
  // Waits until the thread has ended; nothing when none runs.
  void Join();

  struct State;  // the OS's thread and what it runs

 private:
  friend Result<Thread> StartThread(void (*work)(void*), void* argument);
  State* state_ = nullptr;
};

// Starts a thread running `work(argument)`.
Result<Thread> StartThread(void (*work)(void*), void* argument);

// Lets `milliseconds` pass on this thread.
void SleepMilliseconds(int milliseconds);

// Until CancelRemoveOnInterrupt, an interrupt (SIGINT or SIGTERM; Ctrl-C,
// Ctrl-Break or closing the console on Windows) removes the file at `path`,
// writes `message` (a static ASCII line, or null for none) to standard
// error, and ends the process with 130 (an interrupt) or 143 (a termination).
// An empty `path` removes nothing.
void RemoveOnInterrupt(const WString& path, const char* message = nullptr);
void CancelRemoveOnInterrupt();
// Between HoldInterrupts and ReleaseInterrupts an interrupt waits, so that a
// file created there and handed to RemoveOnInterrupt is removed by an
// interrupt however soon it comes. Nothing else may wait meanwhile.
void HoldInterrupts();
void ReleaseInterrupts();

// True when `os_error` says that something is already at a name a call
// would have created.
bool IsAlreadyThere(int os_error);

// The system's own one-line message for an error code.
WString ErrorMessage(int code);

// Sends a line to the debug channel.
void DebugOutput(const WString& text);
void DebugOutputA(const char* text);

}  // namespace platform
}  // namespace updater

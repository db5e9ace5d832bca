// The operating-system services the updater relies on. One implementation
// is built per target: Win32 (platform_win.cc) or POSIX (platform_posix.cc).
// Paths and texts are UTF-16 with "\" between components everywhere outside
// this folder; the implementations convert to the OS form themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

using WString = std::u16string;

// Longest path the updater handles, in UTF-16 units, without a terminator.
inline constexpr size_t kMaxPathUnits = 259;

// FILETIME: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
using FileTime = uint64_t;

// The three times of one file, always in this order.
struct EntryTimes {
  FileTime creation = 0;
  FileTime last_access = 0;
  FileTime last_write = 0;
  bool operator==(const EntryTimes& o) const {
    return creation == o.creation && last_access == o.last_access && last_write == o.last_write;
  }
};

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

// The working directory as an absolute path; none when it cannot be read or is too long.
std::optional<WString> CurrentDirectory();

// Joins `more` to `base` with one "\", removing "." components and resolving "..".
// None when the result would exceed kMaxPathUnits.
std::optional<WString> AppendPath(const WString& base, const WString& more);

// The path of `file` relative to the directory `dir`, starting with ".\"; none when there is none.
std::optional<WString> RelativePathTo(const WString& dir, const WString& file);

// True for an existing file or directory.
bool FileExists(const WString& path);

// True for an existing directory.
bool IsDirectory(const WString& path);

// Whether anything (a link included) is at `path`: kUnreachable when that
// cannot be told (a folder on the way may not be searched, an I/O error).
enum class Presence { kPresent, kMissing, kUnreachable };
Presence Probe(const WString& path);

// The size in bytes of an existing file; none when it cannot be read.
std::optional<int64_t> FileSize(const WString& path);

// Creates one directory level; false when it could not be created.
bool MakeDirectory(const WString& path);

// Removes a file (a link itself, never what it leads to); false when it could not be removed.
bool RemoveFile(const WString& path);

// Renames `from` to `to` on the same volume, replacing a file at `to`.
bool RenameFileReplacing(const WString& from, const WString& to);

// An identity for an existing file that is equal for two paths naming the same file.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId& o) const { return volume == o.volume && index == o.index; }
};

// A folder held open, so that what is done in it happens in this very folder
// whatever is renamed or planted in the meantime. On Windows the handle
// shares no deletion, so the folder can be neither renamed nor removed while
// it is held. Move-only; closed when it goes.
class Folder {
 public:
  Folder() = default;
  Folder(intptr_t handle, WString path) : handle_(handle), path_(std::move(path)) {}
  Folder(Folder&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = -1;
  }
  Folder& operator=(Folder&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      path_ = std::move(other.path_);
      other.handle_ = -1;
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

// Opens the folder at `path`, following links (the player chose it); closed
// when it is no folder.
Folder OpenFolder(const WString& path);

// What is at `name` (one component) in a folder, a link not followed.
enum class NodeKind { kMissing, kFile, kFolder, kLink, kOther, kUnreachable };
NodeKind KindIn(const Folder& folder, const WString& name);

// Opens the folder `name` in `parent`; closed when it is missing, a file, or
// a link or junction (also one the file system does not mark as such).
Folder OpenSubfolder(const Folder& parent, const WString& name);

// Creates the folder `name` in `parent` and opens it; when `private_only`,
// only this user (and on Windows SYSTEM and Administrators) may enter or
// change it. Closed when anything, a link included, is already there.
Folder CreateSubfolder(const Folder& parent, const WString& name, bool private_only);

// Removes the empty folder `name` in `parent`; never a link, never anything in it.
bool RemoveSubfolder(const Folder& parent, const WString& name);

// True when only this user may change `folder`: POSIX, owned by this user
// and not writable by group or others.
bool IsPrivateFolder(const Folder& folder);

// The identity of the file `name` in `folder`, a link not followed; none
// when it is missing or not a regular file.
std::optional<FileId> FileIdIn(const Folder& folder, const WString& name);

// Creates `name` in `folder` for binary writing; a closed File when
// anything, even a dangling link, is already there.
File CreateFileIn(const Folder& folder, const WString& name);

// Opens the regular file `name` in `folder` for binary reading, never
// through a link; a closed File otherwise.
File ReadFileIn(const Folder& folder, const WString& name);

// True when the regular file `name` in `folder` can be opened for writing
// now (not read-only, not held by another program); it is not changed.
bool CanWriteFileIn(const Folder& folder, const WString& name);

// Removes the file `name` (a link itself, never what it leads to) from `folder`.
bool RemoveFileIn(const Folder& folder, const WString& name);

// Moves the file `from_name` of `from` to `to_name` in `to` (same volume);
// with `replace` a file there is replaced, otherwise it must not exist.
bool MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, bool replace);

// Puts the file `replacement` of `staging` in the place of the existing file
// `name` of `folder` in one step where the OS can, and keeps the old file as
// `backup` in `staging`. `name` then has the bytes and all three times of
// `replacement`. False with nothing changed when it cannot be done.
bool ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                   const WString& replacement, const WString& backup);

// The names in `folder` without "." and ".."; none when it cannot be listed whole.
std::optional<std::vector<WString>> ListFolder(const Folder& folder);

// An exclusive hold on a folder, so that one install at a time runs in it.
struct FolderLock;

// Takes the hold on `folder` for this process; null when another process
// holds it, or it cannot be taken.
FolderLock* LockFolder(const Folder& folder);

// Releases a hold taken by LockFolder (null is allowed).
void UnlockFolder(FolderLock* lock);

// True where one call writes everything cached for a file system to disk
// (SyncFileSystem); elsewhere each file must be synced on its own.
extern const bool kHasFileSystemSync;

// Writes everything cached for the file system holding `path` to disk.
bool SyncFileSystem(const WString& path);

// What an item of a directory listing is, following links.
enum class ItemKind {
  kFile,        // a regular file (or gone since the listing)
  kDirectory,   // a folder
  kOther,       // a FIFO, socket, device or the like
  kUnreadable,  // its metadata cannot be read
};

// One item of a directory listing. A name that has no UTF-16 form holds
// unpaired surrogates.
struct DirItem {
  WString name;
  ItemKind kind = ItemKind::kFile;
  int os_error = 0;  // why a kUnreadable item's metadata cannot be read
};

// Lists `dir` without "." and ".." in the file system's order; none when the
// directory cannot be listed, or the listing ends in an error.
std::optional<std::vector<DirItem>> ListDirectory(const WString& dir);

enum class TimesRead {
  kOk,
  kMissing,     // the file does not exist
  kFailed,      // it exists, but its times cannot be read
  kOutOfRange,  // a time lies before 1601 or beyond what a FILETIME holds
};

// Reads the three times of an existing file into `times`.
TimesRead GetFileTimes(const WString& path, EntryTimes* times);

// The identity of the existing file or folder at `path`.
std::optional<FileId> GetFileId(const WString& path);

// The absolute path of an existing file or folder with every link resolved;
// none when it does not exist.
std::optional<WString> ResolvedPath(const WString& path);

// Opens an existing file for binary reading without moving its last-access
// time: the OS is told not to update it (O_NOATIME; SetFileTime with
// 0xFFFFFFFF), and where that is not possible or not honoured, closing the
// File puts `times.last_access` back. A closed File on failure.
File OpenSourceFile(const WString& path, const EntryTimes& times);

// Creates `path` for binary writing; a closed File when anything (a file, a
// link, even a dangling one) is already there.
File CreateNewFile(const WString& path);

// Opens a file with a C runtime mode ("rb", "wb", "ab"); a closed File on failure.
File OpenFile(const WString& path, const char* mode);

// Cuts the file at `path` back to `length` bytes.
bool TruncateFile(const WString& path, int64_t length);

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

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
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

// A thread running `work(argument)`; joined by JoinThread.
struct Thread;

// Starts a thread; null when it cannot be started.
Thread* StartThread(void (*work)(void*), void* argument);

// Waits until `thread` has ended and releases it.
void JoinThread(Thread* thread);

// The OS's code for the last operation that failed on this thread (errno,
// GetLastError); read it before anything else calls the OS.
int LastErrorCode();

// The system's own one-line message for an error code.
WString ErrorMessage(int code);

// Sends a line to the debug channel.
void DebugOutput(const WString& text);
void DebugOutputA(const char* text);

}  // namespace platform

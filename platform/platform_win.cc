// Win32 implementation of the platform services: the shell and kernel
// operations under their own names. wchar_t is UTF-16 here, so strings pass
// through unchanged.
#include <windows.h>
// windows.h first: the shell headers rely on its types.
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <wincrypt.h>

#include <cwchar>

#include "platform/platform.h"

namespace platform {
namespace {

const wchar_t* W(const WString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

WString FromW(const wchar_t* s) { return WString(reinterpret_cast<const char16_t*>(s)); }

FILETIME ToFileTime(FileTime t) {
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(t);
  out.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return out;
}

FileTime FromFileTime(const FILETIME& t) {
  return (static_cast<FileTime>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// Closes a kernel handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

HANDLE OpenExisting(const WString& path, DWORD access, DWORD flags) {
  return CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

// Sets the three times of the file at `path`.
bool SetTimesAt(const WString& path, const EntryTimes& times) {
  Handle file(CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  FILETIME c = ToFileTime(times.creation);
  FILETIME a = ToFileTime(times.last_access);
  FILETIME w = ToFileTime(times.last_write);
  return file.valid() && SetFileTime(file.get(), &c, &a, &w);
}

// The path of the open `h` with every link resolved, in the plain form:
// "\\?\C:\x" is "C:\x", and "\\?\UNC\server\x" is "\\server\x".
std::optional<WString> FinalPath(HANDLE h) {
  wchar_t buffer[32768];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, 32768, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= 32768) return std::nullopt;
  WString found = FromW(buffer);
  if (found.compare(0, 8, u"\\\\?\\UNC\\") == 0) return u"\\\\" + found.substr(8);
  if (found.compare(0, 4, u"\\\\?\\") == 0 && found.size() > 6 && found[5] == u':') {
    return found.substr(4);
  }
  return found;
}

std::optional<FileId> IdOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// A C runtime stream that owns the open handle `h`; a closed File, with the
// handle closed, when none can be made.
File StreamFromHandle(HANDLE h, bool writing) {
  int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | (writing ? _O_WRONLY : _O_RDONLY));
  if (fd < 0) {
    CloseHandle(h);
    return File();
  }
  std::FILE* stream = _fdopen(fd, writing ? "wb" : "rb");
  if (!stream) _close(fd);
  return File(stream);
}

}  // namespace

std::optional<std::vector<WString>> CommandLineArguments() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return std::nullopt;
  std::vector<WString> args;
  for (int i = 0; i < argc; ++i) args.push_back(FromW(argv[i]));
  LocalFree(argv);
  if (args.empty()) return std::nullopt;
  return args;
}

std::optional<WString> OwnExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::nullopt;
    if (n < buffer.size()) return FromW(buffer.data());
    if (buffer.size() >= 32768) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

int ShowMessageBox(const WString& text, const WString& caption, BoxStyle style) {
  return MessageBoxW(nullptr, W(text), W(caption), static_cast<UINT>(style));
}

std::optional<WString> CurrentDirectory() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return FromW(buffer);
}

std::optional<WString> AppendPath(const WString& base, const WString& more) {
  if (base.size() > kMaxPathUnits) return std::nullopt;
  wchar_t buffer[MAX_PATH];
  std::wcscpy(buffer, W(base));
  if (!PathAppendW(buffer, W(more))) return std::nullopt;
  return FromW(buffer);
}

std::optional<WString> RelativePathTo(const WString& dir, const WString& file) {
  wchar_t buffer[MAX_PATH];
  if (!PathRelativePathToW(buffer, W(dir), FILE_ATTRIBUTE_DIRECTORY, W(file),
                           FILE_ATTRIBUTE_ARCHIVE)) {
    return std::nullopt;
  }
  return FromW(buffer);
}

bool FileExists(const WString& path) { return PathFileExistsW(W(path)) != FALSE; }

bool IsDirectory(const WString& path) { return PathIsDirectoryW(W(path)) != FALSE; }

Presence Probe(const WString& path) {
  if (GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES) return Presence::kPresent;
  DWORD error = GetLastError();
  bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  return missing ? Presence::kMissing : Presence::kUnreachable;
}

std::optional<int64_t> FileSize(const WString& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool MakeDirectory(const WString& path) { return !InjectedFault() && _wmkdir(W(path)) == 0; }

bool RemoveFile(const WString& path) { return !InjectedFault() && DeleteFileW(W(path)) != FALSE; }

bool RenameFileReplacing(const WString& from, const WString& to) {
  return !InjectedFault() &&
         MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

const bool kHasFileSystemSync = false;

bool SyncFileSystem(const WString&) { return false; }

bool SyncStreamToDisk(std::FILE* stream) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != FALSE;
}

void KillProcessForTesting() {
  TerminateProcess(GetCurrentProcess(), 137);
  for (;;) {
  }
}

namespace {

// The next item of a listing; false at its end or on an error (GetLastError tells).
bool NextItem(HANDLE search, WIN32_FIND_DATAW* found) {
  // The test seam stands in for a listing that breaks off (a lost network share).
  if (InjectedFault()) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  return FindNextFileW(search, found) != FALSE;
}

}  // namespace

std::optional<std::vector<DirItem>> ListDirectory(const WString& dir) {
  WString pattern = dir + u"\\*";
  if (pattern.size() > kMaxPathUnits) return std::nullopt;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(W(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<DirItem> items;
  do {
    WString name = FromW(found.cFileName);
    if (name == u"." || name == u"..") continue;
    bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    items.push_back(DirItem{name, folder ? ItemKind::kDirectory : ItemKind::kFile});
  } while (NextItem(search, &found));
  bool listed = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  if (!listed) return std::nullopt;
  return items;
}

TimesRead GetFileTimes(const WString& path, EntryTimes* times) {
  Handle file(OpenExisting(path, 0, FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) {
    DWORD error = GetLastError();
    bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return gone ? TimesRead::kMissing : TimesRead::kFailed;
  }
  FILETIME c, a, w;
  if (!GetFileTime(file.get(), &c, &a, &w)) return TimesRead::kFailed;
  *times = EntryTimes{FromFileTime(c), FromFileTime(a), FromFileTime(w)};
  return TimesRead::kOk;
}

std::optional<FileId> GetFileId(const WString& path) {
  // Backup semantics let the same call open directories.
  Handle file(OpenExisting(path, 0, FILE_FLAG_BACKUP_SEMANTICS));
  return file.valid() ? IdOf(file.get()) : std::nullopt;
}

std::optional<WString> ResolvedPath(const WString& path) {
  Handle file(OpenExisting(path, 0, FILE_FLAG_BACKUP_SEMANTICS));
  return file.valid() ? FinalPath(file.get()) : std::nullopt;
}

File OpenSourceFile(const WString& path, const EntryTimes& times) {
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(W(path), GENERIC_READ | FILE_WRITE_ATTRIBUTES, share, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool may_set_times = h != INVALID_HANDLE_VALUE;
  // Without the right to set times the file is still read, as any reader would.
  if (!may_set_times) {
    h = CreateFileW(W(path), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return File();
  if (may_set_times) {
    // All ones: the system stops updating the last-access time for this handle.
    FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};
    SetFileTime(h, nullptr, &keep, nullptr);
  }
  File file = StreamFromHandle(h, false);
  // Not every file system honours the request (Wine on Linux does not).
  if (file && may_set_times) file.KeepLastAccess(times.last_access);
  return file;
}

size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  size_t done = 0;
  while (h != INVALID_HANDLE_VALUE && done < size) {
    uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD piece = static_cast<DWORD>(size - done < 0x40000000u ? size - done : 0x40000000u);
    DWORD got = 0;
    if (!ReadFile(h, static_cast<char*>(buffer) + done, piece, &got, &where) || got == 0) break;
    done += got;
  }
  return done;
}

bool SetStreamTimes(std::FILE* stream, uint64_t creation, uint64_t last_access,
                    uint64_t last_write) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  FILETIME c = ToFileTime(creation), a = ToFileTime(last_access), w = ToFileTime(last_write);
  return h != INVALID_HANDLE_VALUE && SetFileTime(h, &c, &a, &w) != FALSE;
}

bool SetStreamLastAccess(std::FILE* stream, uint64_t last_access) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  FILETIME a = ToFileTime(last_access);
  return h != INVALID_HANDLE_VALUE && SetFileTime(h, nullptr, &a, nullptr) != FALSE;
}

File CreateNewFile(const WString& path) {
  HANDLE h = CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return File();
  return StreamFromHandle(h, true);
}

File OpenFile(const WString& path, const char* mode) {
  wchar_t wide_mode[8] = {};
  for (size_t i = 0; mode[i] && i < 7; ++i) wide_mode[i] = static_cast<wchar_t>(mode[i]);
  return File(_wfopen(W(path), wide_mode));
}

bool TruncateFile(const WString& path, int64_t length) {
  Handle file(OpenExisting(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL));
  LARGE_INTEGER position;
  position.QuadPart = length;
  return file.valid() && SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) &&
         SetEndOfFile(file.get());
}

// --- Folders held by handle. Each is opened once, refused when it is a
// reparse point, and held without FILE_SHARE_DELETE until the install ends,
// so no folder on the way to a target can be renamed, removed or replaced by
// a junction meanwhile; calls by name below held folders are then safe.

namespace {

HANDLE H(const Folder& folder) { return reinterpret_cast<HANDLE>(folder.handle()); }

// One component: never empty, ".", ".." or holding a separator or stream colon.
bool IsOneComponent(const WString& name) {
  return !name.empty() && name != u"." && name != u".." &&
         name.find_first_of(u"\\/:") == WString::npos;
}

// The path of `name` in `folder`, or empty (refused by every call) when it
// is not one component or the path is too long.
WString ChildPath(const Folder& folder, const WString& name) {
  WString path = folder.path() + u"\\" + name;
  return IsOneComponent(name) && path.size() <= kMaxPathUnits ? path : WString();
}

// Opens a folder for listing, sharing everything but deletion.
HANDLE OpenFolderHandle(const WString& path, DWORD flags) {
  return CreateFileW(W(path), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// True when the open `h` is the item at `path` itself: no reparse point, and
// its final path is `path` (Wine shows Linux links as plain items, whose
// final path lies elsewhere). `folder` says which kind it must be.
bool IsPlainItemAt(HANDLE h, const WString& path, bool folder) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return false;
  }
  std::optional<WString> final_path = FinalPath(h);
  return final_path && CompareStringOrdinal(W(*final_path), -1, W(path), -1, TRUE) == CSTR_EQUAL;
}

// `h` when it is a plain item at `path` (see IsPlainItemAt); otherwise it is
// closed and INVALID_HANDLE_VALUE returned.
HANDLE KeepIfPlainAt(HANDLE h, const WString& path, bool folder) {
  if (h != INVALID_HANDLE_VALUE && !IsPlainItemAt(h, path, folder)) {
    CloseHandle(h);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// Opens the plain file at `path` (reparse points not followed) with `access`.
HANDLE OpenPlainFile(const WString& path, DWORD access, DWORD share) {
  return KeepIfPlainAt(CreateFileW(W(path), access, share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                       path, false);
}

}  // namespace

void Folder::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

Folder OpenFolder(const WString& path) {
  HANDLE h = OpenFolderHandle(path, 0);
  std::optional<WString> final_path = h == INVALID_HANDLE_VALUE ? std::nullopt : FinalPath(h);
  if (!final_path) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return Folder();
  }
  return Folder(reinterpret_cast<intptr_t>(h), *final_path);
}

NodeKind KindIn(const Folder& folder, const WString& name) {
  WString path = ChildPath(folder, name);
  Handle h(CreateFileW(
      W(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) {
    DWORD error = GetLastError();
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return missing ? NodeKind::kMissing : NodeKind::kUnreachable;
  }
  bool is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!IsPlainItemAt(h.get(), path, is_folder)) return NodeKind::kLink;
  return is_folder ? NodeKind::kFolder : NodeKind::kFile;
}

Folder OpenSubfolder(const Folder& parent, const WString& name) {
  WString path = ChildPath(parent, name);
  HANDLE h = KeepIfPlainAt(OpenFolderHandle(path, FILE_FLAG_OPEN_REPARSE_POINT), path, true);
  return h == INVALID_HANDLE_VALUE ? Folder() : Folder(reinterpret_cast<intptr_t>(h), path);
}

Folder CreateSubfolder(const Folder& parent, const WString& name, bool private_only) {
  // Private: full control for the owner, SYSTEM and Administrators only,
  // inherited by everything created inside; nothing from the parent folder.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (InjectedFault() ||
      (private_only && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                           L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                           &descriptor, nullptr))) {
    return Folder();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  bool made = CreateDirectoryW(W(ChildPath(parent, name)), private_only ? &attributes : nullptr);
  if (descriptor) LocalFree(descriptor);
  return made ? OpenSubfolder(parent, name) : Folder();
}

bool RemoveSubfolder(const Folder& parent, const WString& name) {
  return !InjectedFault() && RemoveDirectoryW(W(ChildPath(parent, name))) != FALSE;
}

namespace {

// True when `sid` is this process's user.
bool IsOwnUser(PSID sid) {
  HANDLE t = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t)) return false;
  Handle owned(t);
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  return GetTokenInformation(t, TokenUser, buffer, sizeof buffer, &size) &&
         EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid);
}

}  // namespace

bool IsPrivateFolder(const Folder& folder) {
  // Owned by this user, or by a group this process acts for (Administrators,
  // who own what an elevated process creates). The handle held may not read
  // the owner: a second one, no more than that, is opened.
  Handle h(CreateFileW(W(folder.path()), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr));
  std::optional<FileId> opened = h.valid() ? IdOf(h.get()) : std::nullopt;
  std::optional<FileId> held = IdOf(H(folder));
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!opened || !held || !(*opened == *held) ||
      GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  BOOL member = FALSE;
  bool mine = IsOwnUser(owner) || (CheckTokenMembership(nullptr, owner, &member) && member);
  LocalFree(descriptor);
  return mine;
}

std::optional<FileId> FileIdIn(const Folder& folder, const WString& name) {
  Handle h(OpenPlainFile(ChildPath(folder, name), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
  return h.valid() ? IdOf(h.get()) : std::nullopt;
}

File CreateFileIn(const Folder& folder, const WString& name) {
  HANDLE h = CreateFileW(W(ChildPath(folder, name)), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return File();
  return StreamFromHandle(h, true);
}

File ReadFileIn(const Folder& folder, const WString& name) {
  HANDLE h = OpenPlainFile(ChildPath(folder, name), GENERIC_READ, FILE_SHARE_READ);
  if (h == INVALID_HANDLE_VALUE) return File();
  return StreamFromHandle(h, false);
}

bool CanWriteFileIn(const Folder& folder, const WString& name) {
  return Handle(OpenPlainFile(ChildPath(folder, name), GENERIC_WRITE, FILE_SHARE_READ)).valid();
}

bool RemoveFileIn(const Folder& folder, const WString& name) {
  return !InjectedFault() && DeleteFileW(W(ChildPath(folder, name))) != FALSE;
}

bool MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, bool replace) {
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return !InjectedFault() &&
         MoveFileExW(W(ChildPath(from, from_name)), W(ChildPath(to, to_name)), flags) != FALSE;
}

bool ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                   const WString& replacement, const WString& backup) {
  WString target = ChildPath(folder, name), staged = ChildPath(staging, replacement);
  WString kept = ChildPath(staging, backup);
  // ReplaceFileW keeps the old file's creation time: carry the new one over.
  EntryTimes times;
  if (GetFileTimes(staged, &times) != TimesRead::kOk || InjectedFault()) return false;
  if (!ReplaceFileW(W(target), W(staged), W(kept),
                    REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                    nullptr)) {
    return false;
  }
  if (SetTimesAt(target, times)) return true;
  // Put the old file back rather than leave a target with the wrong times.
  MoveFileExW(W(target), W(staged), 0);
  MoveFileExW(W(kept), W(target), MOVEFILE_REPLACE_EXISTING);
  return false;
}

std::optional<std::vector<WString>> ListFolder(const Folder& folder) {
  std::optional<std::vector<DirItem>> items = ListDirectory(folder.path());
  if (!items) return std::nullopt;
  std::vector<WString> names;
  for (DirItem& item : *items) names.push_back(std::move(item.name));
  return names;
}

struct FolderLock {
  HANDLE semaphore;
};

FolderLock* LockFolder(const Folder& folder) {
  // A named semaphore, not a file: nothing in the folder can be planted in
  // its way. Named after the folder's identity, so every path to it agrees.
  std::optional<FileId> id = IdOf(H(folder));
  if (!id) return nullptr;
  wchar_t name[64] = L"Global\\TessaranUpdate";
  wchar_t* end = name + std::wcslen(name);
  for (uint64_t part : {id->volume, id->index}) {
    *end++ = L'-';
    for (int shift = 60; shift >= 0; shift -= 4) *end++ = L"0123456789abcdef"[(part >> shift) & 15];
  }
  *end = 0;
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, name);
  // Without the right to name global objects, the session's own namespace.
  if (!semaphore) semaphore = CreateSemaphoreW(nullptr, 1, 1, name + 7);
  if (!semaphore) return nullptr;
  if (WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0) {
    CloseHandle(semaphore);
    return nullptr;
  }
  return new FolderLock{semaphore};
}

void UnlockFolder(FolderLock* lock) {
  if (!lock) return;
  ReleaseSemaphore(lock->semaphore, 1, nullptr);
  CloseHandle(lock->semaphore);
  delete lock;
}

struct Sha256::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool ok = false;
};

Sha256::Sha256() : state_(new State) {
  state_->ok = CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT) &&
               CryptCreateHash(state_->provider, CALG_SHA_256, 0, 0, &state_->hash);
}

Sha256::~Sha256() {
  if (state_->hash) CryptDestroyHash(state_->hash);
  if (state_->provider) CryptReleaseContext(state_->provider, 0);
  delete state_;
}

void Sha256::Update(const void* data, size_t size) {
  // CryptHashData takes at most 4 GiB at once.
  const BYTE* bytes = static_cast<const BYTE*>(data);
  while (state_->ok && size > 0) {
    DWORD piece = static_cast<DWORD>(size < 0x40000000u ? size : 0x40000000u);
    state_->ok = CryptHashData(state_->hash, bytes, piece, 0) != FALSE;
    bytes += piece;
    size -= piece;
  }
}

bool Sha256::Finish(uint8_t digest[32]) {
  DWORD size = 32;
  return state_->ok && CryptGetHashParam(state_->hash, HP_HASHVAL, digest, &size, 0) && size == 32;
}

MappedFile::MappedFile(const WString& path) {
  Handle file(CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
      static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
    return;
  }
  HANDLE mapping = CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) return;
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (!view) {
    CloseHandle(mapping);
    return;
  }
  data_ = static_cast<const uint8_t*>(view);
  size_ = static_cast<size_t>(size.QuadPart);
  handle_ = reinterpret_cast<intptr_t>(mapping);
}

MappedFile::~MappedFile() {
  if (data_) UnmapViewOfFile(data_);
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

struct Monitor::State {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : state_(new State) {}
Monitor::~Monitor() { delete state_; }
void Monitor::Lock() { AcquireSRWLockExclusive(&state_->lock); }
void Monitor::Unlock() { ReleaseSRWLockExclusive(&state_->lock); }
void Monitor::Wait() { SleepConditionVariableSRW(&state_->condition, &state_->lock, INFINITE, 0); }
void Monitor::NotifyAll() { WakeAllConditionVariable(&state_->condition); }

struct Thread {
  HANDLE handle;
  void (*work)(void*);
  void* argument;
};

namespace {
DWORD WINAPI RunThread(LPVOID thread) {
  Thread* t = static_cast<Thread*>(thread);
  t->work(t->argument);
  return 0;
}
}  // namespace

Thread* StartThread(void (*work)(void*), void* argument) {
  Thread* thread = new Thread{nullptr, work, argument};
  thread->handle = CreateThread(nullptr, 0, RunThread, thread, 0, nullptr);
  if (!thread->handle) {
    delete thread;
    return nullptr;
  }
  return thread;
}

void JoinThread(Thread* thread) {
  WaitForSingleObject(thread->handle, INFINITE);
  CloseHandle(thread->handle);
  delete thread;
}

int LastErrorCode() { return static_cast<int>(GetLastError()); }

WString ErrorMessage(int code) {
  wchar_t buffer[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buffer, 256, nullptr);
  while (n > 0 && (buffer[n - 1] == L'\r' || buffer[n - 1] == L'\n' || buffer[n - 1] == L'.')) --n;
  buffer[n] = 0;
  return FromW(buffer);
}

void DebugOutput(const WString& text) { OutputDebugStringW(W(text)); }

void DebugOutputA(const char* text) { OutputDebugStringA(text); }

}  // namespace platform

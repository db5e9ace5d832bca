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

#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

#include "platform/fault_seam.h"
#include "platform/platform.h"

namespace updater::platform {
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
  Handle(Handle&& other) noexcept : h_(other.release()) {}
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  // Gives up ownership.
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE h_;
};

HANDLE OpenExisting(const WString& path, DWORD access, DWORD flags) {
  return CreateFileW(W(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
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

Status LastError() { return Status::Error(static_cast<int>(GetLastError())); }

// Succeeds when a Win32 call did; the seam's fault first.
Status Checked(int fault, BOOL done) {
  if (fault) return Status::Error(fault);
  return done ? Status() : LastError();
}

// Runs `call` (a Win32 call that returns nonzero on success) unless the
// test seam fails this operation first.
template <class Call>
Status Seamed(const Call& call) {
  if (int fault = InjectedFault()) return Status::Error(fault);
  return Checked(0, call());
}

// A C runtime stream that owns the open handle `h` (a failure when it is
// invalid); the handle is closed when no stream can be made.
Result<File> StreamFromHandle(HANDLE h, bool writing) {
  if (h == INVALID_HANDLE_VALUE) return LastError();
  int fd =
      _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | (writing ? _O_WRONLY : _O_RDONLY));
  if (fd < 0) {
    CloseHandle(h);
    return Status::Error(ERROR_INVALID_HANDLE);
  }
  std::FILE* stream = _fdopen(fd, writing ? "wb" : "rb");
  if (!stream) {
    _close(fd);
    return Status::Error(ERROR_TOO_MANY_OPEN_FILES);
  }
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

std::optional<WString> WorkingFolder() {
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

bool IsMissing(int os_error) {
  return os_error == ERROR_FILE_NOT_FOUND || os_error == ERROR_PATH_NOT_FOUND;
}

int MissingError() { return ERROR_FILE_NOT_FOUND; }

int BadNameError() { return ERROR_INVALID_NAME; }

int TimeOutOfRangeError() { return ERROR_ARITHMETIC_OVERFLOW; }

int LastOsError() { return static_cast<int>(GetLastError()); }

Result<FileId> GetFileId(const WString& path) {
  // Backup semantics let the same call open folders.
  Handle file(OpenExisting(path, 0, FILE_FLAG_BACKUP_SEMANTICS));
  if (!file.valid()) return LastError();
  std::optional<FileId> id = IdOf(file.get());
  if (!id) return LastError();
  return *id;
}

bool IsFolder(const WString& path) { return PathIsDirectoryW(W(path)) != FALSE; }

Status MakeFolder(const WString& path) {
  return Seamed([&] { return CreateDirectoryW(W(path), nullptr); });
}

Result<int64_t> FileSize(const WString& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &data)) return LastError();
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Status RemoveFile(const WString& path) {
  return Seamed([&] { return DeleteFileW(W(path)); });
}

Status RenameFileReplacing(const WString& from, const WString& to) {
  return Seamed([&] {
    return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  });
}

Result<WString> ResolvedPath(const WString& path) {
  Handle file(OpenExisting(path, 0, FILE_FLAG_BACKUP_SEMANTICS));
  if (!file.valid()) return LastError();
  std::optional<WString> resolved = FinalPath(file.get());
  if (!resolved) return LastError();
  return *resolved;
}

Result<File> CreateNewFile(const WString& path) {
  return StreamFromHandle(
      CreateFileW(W(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
      true);
}

Result<File> OpenFile(const WString& path, const char* mode) {
  wchar_t wide_mode[8] = {};
  for (size_t i = 0; mode[i] && i < 7; ++i) wide_mode[i] = static_cast<wchar_t>(mode[i]);
  std::FILE* stream = _wfopen(W(path), wide_mode);
  if (!stream) return LastError();
  return File(stream);
}

namespace {

// Succeeds when `file` is the very file this program was loaded from, as
// the system tells it from a view of each: not a copy, nor another file.
Status IsRunningImage(HANDLE file) {
  using AreMappedFilesTheSame = LONG(NTAPI*)(PVOID, PVOID);
  auto same = reinterpret_cast<AreMappedFilesTheSame>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtAreMappedFilesTheSame")));
  if (!same) return LastError();
  Handle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.valid()) return LastError();
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 1);
  if (!view) return LastError();
  LONG status = same(GetModuleHandleW(nullptr), view);
  UnmapViewOfFile(view);
  return status == 0 ? Status() : Status::Error(ERROR_FILE_INVALID);
}

}  // namespace

Result<File> OpenOwnProgram(const WString& path) {
  // Shared for reading only: while it is held, nobody can write, rename or
  // remove it, so the package read is the one the player said Yes to.
  HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  // A running program can be renamed and another file put at its name: only
  // the file it was loaded from is read.
  Status own = IsRunningImage(h);
  if (!own) {
    CloseHandle(h);
    return own;
  }
  return StreamFromHandle(h, false);
}

Status TruncateFile(const WString& path, int64_t length) {
  Handle file(OpenExisting(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL));
  LARGE_INTEGER position;
  position.QuadPart = length;
  return Checked(0, file.valid() && SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) &&
                        SetEndOfFile(file.get()));
}

namespace {

HANDLE StreamHandle(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

Status SyncStreamToDisk(std::FILE* stream) {
  return Checked(0, FlushFileBuffers(StreamHandle(stream)));
}

size_t ReadStreamAt(std::FILE* stream, int64_t offset, void* buffer, size_t size, int* os_error) {
  HANDLE h = StreamHandle(stream);
  size_t done = 0;
  while (done < size) {
    uint64_t at = static_cast<uint64_t>(offset) + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD piece = static_cast<DWORD>(size - done < 0x40000000u ? size - done : 0x40000000u);
    DWORD got = 0;
    if (!ReadFile(h, static_cast<char*>(buffer) + done, piece, &got, &where)) {
      DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) *os_error = static_cast<int>(error);
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

Status SetStreamTimes(std::FILE* stream, uint64_t creation, uint64_t last_access,
                      uint64_t last_write) {
  FILETIME c = ToFileTime(creation), a = ToFileTime(last_access), w = ToFileTime(last_write);
  return Checked(0, SetFileTime(StreamHandle(stream), &c, &a, &w));
}

Status SetStreamMode(std::FILE*, uint32_t) { return Status(); }

Result<uint32_t> StreamMode(std::FILE*) { return 0u; }

Status StreamIdentity(std::FILE* stream, uint64_t& volume, uint64_t& index) {
  std::optional<FileId> id = IdOf(StreamHandle(stream));
  if (!id) return LastError();
  volume = id->volume;
  index = id->index;
  return Status();
}

Result<EntryTimes> StreamTimes(std::FILE* stream) {
  FILETIME c, a, w;
  if (!GetFileTime(StreamHandle(stream), &c, &a, &w)) return LastError();
  return EntryTimes{FromFileTime(c), FromFileTime(a), FromFileTime(w)};
}

Status SetStreamLastAccess(std::FILE* stream, uint64_t last_access) {
  FILETIME a = ToFileTime(last_access);
  return Checked(0, SetFileTime(StreamHandle(stream), nullptr, &a, nullptr));
}

// --- Folders held by handle. Each is opened once, refused when it is a
// reparse point, and held without FILE_SHARE_DELETE until the install ends,
// so no folder on the way to a target can be renamed, removed or replaced by
// a junction meanwhile; calls by name below held folders are then safe.

namespace {

HANDLE H(const Folder& folder) { return reinterpret_cast<HANDLE>(folder.handle()); }

// The path of `name` in `folder`, when `name` is one component (never empty,
// ".", ".." or holding a separator or stream colon) and the path fits.
Result<WString> ChildPath(const Folder& folder, const WString& name) {
  if (name.empty() || name == u"." || name == u".." ||
      name.find_first_of(u"\\/:") != WString::npos) {
    return Status::Error(ERROR_INVALID_NAME);
  }
  WString path = folder.path() + u"\\" + name;
  if (path.size() > kMaxPathUnits) return Status::Error(ERROR_FILENAME_EXCED_RANGE);
  return path;
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
bool IsPlainItemAt(HANDLE h, const WString& path, bool folder, FileId* id = nullptr,
                   DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return false;
  }
  if (attributes) *attributes = info.dwFileAttributes;
  // Its identity, from the same query, where the caller wants it.
  if (id) {
    *id = FileId{info.dwVolumeSerialNumber,
                 (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }
  std::optional<WString> final_path = FinalPath(h);
  return final_path && CompareStringOrdinal(W(*final_path), -1, W(path), -1, TRUE) == CSTR_EQUAL;
}

// `h` when it opened (with Links::kRefuse, a plain item at `path`: see
// IsPlainItemAt); otherwise the failure, with `h` closed.
Result<Handle> Kept(HANDLE h, const WString& path, bool folder, Links links) {
  if (h == INVALID_HANDLE_VALUE) return LastError();
  Handle owned(h);
  if (links == Links::kRefuse && !IsPlainItemAt(h, path, folder)) {
    return Status::Error(ERROR_CANT_ACCESS_FILE);
  }
  return owned;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD ReparseFlag(Links links) {
  return links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
}

// Opens the file at `path` with `access`; with Links::kRefuse a plain file only.
Result<Handle> OpenFileAt(const WString& path, DWORD access, DWORD share, Links links) {
  return Kept(CreateFileW(W(path), access, share, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | ReparseFlag(links), nullptr),
              path, false, links);
}

NodeKind KindOfAttributes(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NodeKind::kFolder : NodeKind::kFile;
}

}  // namespace

void Folder::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

Result<Folder> OpenFolder(const WString& path) {
  HANDLE h = OpenFolderHandle(path, 0);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  Handle owned(h);
  std::optional<WString> final_path = FinalPath(h);
  if (!final_path) return LastError();
  return Folder(reinterpret_cast<intptr_t>(owned.release()), *final_path);
}

Result<NodeKind> KindIn(const Folder& folder, const WString& name, Links links) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Handle h(CreateFileW(W(*path), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | ReparseFlag(links), nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!h.valid() || !GetFileInformationByHandle(h.get(), &info)) {
    Status failed = LastError();
    if (IsMissing(failed.error())) return NodeKind::kMissing;
    return failed;
  }
  NodeKind kind = KindOfAttributes(info.dwFileAttributes);
  if (links == Links::kRefuse && !IsPlainItemAt(h.get(), *path, kind == NodeKind::kFolder)) {
    return NodeKind::kLink;
  }
  return kind;
}

Result<Folder> OpenSubfolder(const Folder& parent, const WString& name, Links links) {
  Result<WString> path = ChildPath(parent, name);
  if (!path) return path.status();
  Result<Handle> h = Kept(OpenFolderHandle(*path, ReparseFlag(links)), *path, true, links);
  if (!h) return h.status();
  return Folder(reinterpret_cast<intptr_t>(h->release()), *path);
}

Result<Folder> CreateSubfolder(const Folder& parent, const WString& name, bool private_only) {
  Result<WString> path = ChildPath(parent, name);
  if (!path) return path.status();
  if (int fault = InjectedFault()) return Status::Error(fault);
  // Private: full control for the owner, SYSTEM and Administrators only,
  // inherited by everything created inside; nothing from the parent folder.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (private_only && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                          L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                          &descriptor, nullptr)) {
    return LastError();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  Status made = Checked(0, CreateDirectoryW(W(*path), private_only ? &attributes : nullptr));
  if (descriptor) LocalFree(descriptor);
  if (!made) return made;
  // Another user may act between the two calls: the test seam's hook stands
  // for them (a failure it would inject here is what opening then meets).
  (void)InjectedFault();
  return OpenSubfolder(parent, name);
}

Status RemoveSubfolder(const Folder& parent, const WString& name) {
  Result<WString> path = ChildPath(parent, name);
  if (!path) return path.status();
  return Seamed([&] { return RemoveDirectoryW(W(*path)); });
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

Result<bool> IsPrivateFolder(const Folder& folder) {
  // Owned by this user, or by a group this process acts for (Administrators,
  // who own what an elevated process creates). The handle held may not read
  // the owner: a second one, no more than that, is opened.
  Handle h(CreateFileW(W(folder.path()), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr));
  if (!h.valid()) return LastError();
  std::optional<FileId> opened = IdOf(h.get());
  std::optional<FileId> held = IdOf(H(folder));
  if (!opened || !held) return LastError();
  if (!(*opened == *held)) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD read = GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                               nullptr, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return Status::Error(static_cast<int>(read));
  BOOL member = FALSE;
  bool mine = IsOwnUser(owner) || (CheckTokenMembership(nullptr, owner, &member) && member);
  LocalFree(descriptor);
  return mine;
}

Status MayChangeFolder(const Folder& folder) {
  // A second handle that asks for the rights to add files and folders: the
  // access list grants it only where the install could place its files.
  // (Taking a file out needs DELETE on the file, which a replacement checks
  // as it opens it.) Wine grants every access: the test seam stands for a
  // list that denies it.
  if (int fault = InjectedFault()) return Status::Error(fault);
  Handle h(CreateFileW(W(folder.path()), FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, kShareAll, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr));
  return h.valid() ? Status() : LastError();
}

Result<uint64_t> FreeSpace(const Folder& folder) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(W(folder.path() + u"\\"), &available, nullptr, nullptr)) {
    return LastError();
  }
  return static_cast<uint64_t>(available.QuadPart);
}

Result<uint32_t> ModeIn(const Folder&, const WString&) { return 0u; }

Result<FileId> FolderId(const Folder& folder) {
  std::optional<FileId> id = IdOf(H(folder));
  if (!id) return LastError();
  return *id;
}

namespace {

// Opens the item at `path` for `access`, a regular file or (with
// `folder_wanted`) a folder; with Links::kRefuse only a plain one.
Result<Handle> OpenItemAt(const WString& path, DWORD access, bool folder_wanted, Links links) {
  DWORD flags = ReparseFlag(links) | (folder_wanted ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  return Kept(CreateFileW(W(path), access, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | flags, nullptr),
              path, folder_wanted, links);
}

Result<FileId> ItemIdIn(const Folder& folder, const WString& name, bool folder_wanted,
                        Links links = Links::kRefuse, bool* read_only = nullptr) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Result<Handle> h = OpenItemAt(*path, 0, folder_wanted, links);
  if (!h) return h.status();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h->get(), &info)) return LastError();
  if (read_only) *read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

Result<FileId> FileIdIn(const Folder& folder, const WString& name, Links links, bool* read_only) {
  return ItemIdIn(folder, name, false, links, read_only);
}

Result<EntryTimes> TimesIn(const Folder& folder, const WString& name) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Handle file(OpenExisting(*path, 0, FILE_ATTRIBUTE_NORMAL));
  FILETIME c, a, w;
  if (!file.valid() || !GetFileTime(file.get(), &c, &a, &w)) return LastError();
  return EntryTimes{FromFileTime(c), FromFileTime(a), FromFileTime(w)};
}

Result<File> CreateFileIn(const Folder& folder, const WString& name) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  if (int fault = InjectedFault()) return Status::Error(fault);
  return StreamFromHandle(
      CreateFileW(W(*path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
      true);
}

Result<File> ReadFileIn(const Folder& folder, const WString& name) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  if (int fault = InjectedOpenFault(name)) return Status::Error(fault);
  Result<Handle> h = OpenFileAt(*path, GENERIC_READ, FILE_SHARE_READ, Links::kRefuse);
  if (!h) return h.status();
  Result<File> file = StreamFromHandle(h->release(), false);
  if (file) MarkReadFault(file->stream(), name);
  return file;
}

namespace {

// The File of `h`, a handle opened to read (and, where `may_set_times`, to
// write attributes), told not to move the file's last-access time. Not every
// file system honours that (Wine on Linux does not): Close then puts
// `last_access` back (the time read through the handle where none is given).
Result<File> StreamKeepingAccess(HANDLE h, bool may_set_times,
                                 std::optional<FileTime> last_access) {
  FILETIME c, a, w;
  if (may_set_times && !last_access) {
    may_set_times = GetFileTime(h, &c, &a, &w) != 0;
    last_access = FromFileTime(a);
  }
  if (may_set_times) {
    // All ones: the system stops updating the last-access time for this handle.
    FILETIME keep = {0xFFFFFFFF, 0xFFFFFFFF};
    SetFileTime(h, nullptr, &keep, nullptr);
  }
  Result<File> file = StreamFromHandle(h, false);
  if (file && may_set_times) file->KeepLastAccess(*last_access);
  return file;
}

}  // namespace

Result<File> ReadFileKeepingAccessIn(const Folder& folder, const WString& name) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Result<Handle> settable =
      OpenFileAt(*path, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, Links::kRefuse);
  bool may_set_times = static_cast<bool>(settable);
  // Without the right to set times the file is still read, as any reader would.
  Result<Handle> h = may_set_times
                         ? std::move(settable)
                         : OpenFileAt(*path, GENERIC_READ, FILE_SHARE_READ, Links::kRefuse);
  if (!h) return h.status();
  return StreamKeepingAccess(h->release(), may_set_times, std::nullopt);
}

Result<File> OpenSourceFileIn(const Folder& folder, const WString& name, const EntryTimes& times) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  HANDLE h = CreateFileW(W(*path), GENERIC_READ | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool may_set_times = h != INVALID_HANDLE_VALUE;
  // Without the right to set times the file is still read, as any reader would.
  if (!may_set_times) {
    h = CreateFileW(W(*path), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return StreamKeepingAccess(h, may_set_times, times.last_access);
}

Result<FileId> WritableFileIn(const Folder& folder, const WString& name, bool* read_only) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Handle writable(CreateFileW(W(*path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  Status denied = writable.valid() ? Status() : LastError();
  // Perhaps only read-only: told through a handle that reads attributes alone.
  Handle reader(writable.valid()
                    ? INVALID_HANDLE_VALUE
                    : CreateFileW(W(*path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const Handle& file = writable.valid() ? writable : reader;
  if (!file.valid()) return denied;
  FileId id;
  DWORD attributes = 0;
  if (!IsPlainItemAt(file.get(), *path, false, &id, &attributes)) {
    return Status::Error(ERROR_CANT_ACCESS_FILE);
  }
  // Read-only whichever way it opened (an administrator may open it to write).
  *read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (!writable.valid() && !*read_only) return denied;
  return id;
}

Status SetReadOnlyIn(const Folder& folder, const WString& name, const FileId& expected,
                     bool read_only) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  Result<Handle> file =
      OpenFileAt(*path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, Links::kRefuse);
  if (!file) return file.status();
  FileId id;
  DWORD attributes = 0;
  if (!IsPlainItemAt(file->get(), *path, false, &id, &attributes) || !(id == expected)) {
    return Status::Refused();
  }
  FILE_BASIC_INFO info{};  // zero times leave each as it is
  info.FileAttributes = read_only ? attributes | FILE_ATTRIBUTE_READONLY
                                  : attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return Checked(0, SetFileInformationByHandle(file->get(), FileBasicInfo, &info, sizeof info));
}

Status RemoveFileIn(const Folder& folder, const WString& name) {
  Result<WString> path = ChildPath(folder, name);
  if (!path) return path.status();
  return Seamed([&] { return DeleteFileW(W(*path)); });
}

Status MoveFileBetween(const Folder& from, const WString& from_name, const Folder& to,
                       const WString& to_name, bool replace) {
  Result<WString> source = ChildPath(from, from_name), destination = ChildPath(to, to_name);
  if (!source) return source.status();
  if (!destination) return destination.status();
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return Seamed([&] { return MoveFileExW(W(*source), W(*destination), flags); });
}

namespace {

// Renames the file open as `file` to the full path `to`, which must not exist.
Status RenameOpenFile(HANDLE file, const WString& to) {
  DWORD bytes = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = bytes;
  std::memcpy(info->FileName, to.data(), bytes);
  return Seamed([&] {
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size()));
  });
}

}  // namespace

Status MoveKnownItem(const Folder& from, const WString& from_name, const Folder& to,
                     const WString& to_name, const FileId& expected, bool folder) {
  Result<WString> source = ChildPath(from, from_name), destination = ChildPath(to, to_name);
  if (!source) return source.status();
  if (!destination) return destination.status();
  // Opened without following a reparse point, and refused unless a plain
  // item of its kind with the identity expected; renamed through this very handle.
  Result<Handle> file = OpenItemAt(*source, DELETE | FILE_READ_ATTRIBUTES, folder, Links::kRefuse);
  if (!file) return file.status();
  std::optional<FileId> id = IdOf(file->get());
  if (!id) return LastError();
  if (!(*id == expected)) return Status::Refused();
  Status moved = RenameOpenFile(file->get(), *destination);
  if (!moved) return moved;
  // Where a rename through a handle still goes by name (Wine), what arrived
  // may be another file put at the name meanwhile: it goes back.
  Result<FileId> arrived = ItemIdIn(to, to_name, folder);
  if (arrived && *arrived == expected) return Status();
  (void)MoveFileExW(W(*destination), W(*source), 0);
  return arrived ? Status::Refused() : arrived.status();
}

Status PlaceNewFile(const Folder& from, const WString& from_name, const Folder& to,
                    const WString& to_name) {
  Result<WString> source = ChildPath(from, from_name), destination = ChildPath(to, to_name);
  if (!source) return source.status();
  if (!destination) return destination.status();
  // Held across the move: its access is set through it, never by its new name.
  Result<Handle> file =
      OpenFileAt(*source, DELETE | READ_CONTROL | WRITE_DAC, kShareAll, Links::kRefuse);
  if (!file) return file.status();
  Status moved = RenameOpenFile(file->get(), *destination);
  if (!moved) return moved;
  RecordInheritedForTesting(to_name);
  // An empty list that is no longer protected: the file keeps only what its
  // new folder passes on to new files, and nothing of the staging folder's.
  ACL empty;
  DWORD set =
      InitializeAcl(&empty, sizeof empty, ACL_REVISION)
          ? SetSecurityInfo(file->get(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, &empty, nullptr)
          : GetLastError();
  if (set == ERROR_SUCCESS) return Status();
  (void)RenameOpenFile(file->get(), *source);  // back into staging, through the handle
  return Status::Error(static_cast<int>(set));
}

Status ReplaceFileIn(const Folder& folder, const WString& name, const Folder& staging,
                     const WString& replacement, const WString& backup) {
  Result<WString> target = ChildPath(folder, name), staged = ChildPath(staging, replacement);
  Result<WString> kept = ChildPath(staging, backup);
  for (const Result<WString>* path : {&target, &staged, &kept}) {
    if (!*path) return path->status();
  }
  // ReplaceFileW keeps the old file's creation time: carry the new one over,
  // through a handle of the staged file held across the replacement, so
  // that no name is looked up once it is in place.
  Result<Handle> placed =
      OpenFileAt(*staged, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, Links::kRefuse);
  if (!placed) return placed.status();
  FILETIME c, a, w;
  if (!GetFileTime(placed->get(), &c, &a, &w)) return LastError();
  if (int fault = InjectedFault()) return Status::Error(fault);
  if (!ReplaceFileW(W(*target), W(*staged), W(*kept),
                    REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                    nullptr)) {
    return LastError();
  }
  Status set = Checked(0, SetFileTime(placed->get(), &c, &a, &w));
  if (set) return set;
  // Put the old file back rather than leave a target with the wrong times:
  // what is at the target goes back only when it is the file placed, moved
  // through a handle checked to be it.
  Result<Handle> back = OpenFileAt(*target, DELETE, kShareAll, Links::kRefuse);
  std::optional<FileId> was = IdOf(placed->get());
  if (back && was && IdOf(back->get()) == was) (void)RenameOpenFile(back->get(), *staged);
  MoveFileExW(W(*kept), W(*target), MOVEFILE_REPLACE_EXISTING);
  return set;
}

Result<std::vector<FolderItem>> ListFolder(const Folder& folder) {
  WString pattern = folder.path() + u"\\*";
  if (pattern.size() > kMaxPathUnits) return Status::Error(ERROR_FILENAME_EXCED_RANGE);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(W(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return LastError();
  std::vector<FolderItem> items;
  int error = 0;
  do {
    // The seam stands in for a listing that breaks off (a lost network share).
    if ((error = InjectedFault()) != 0) break;
    WString name = FromW(found.cFileName);
    if (name == u"." || name == u"..") continue;
    items.push_back(FolderItem{name, KindOfAttributes(found.dwFileAttributes), 0});
  } while (FindNextFileW(search, &found));
  if (error == 0 && GetLastError() != ERROR_NO_MORE_FILES) error = LastOsError();
  FindClose(search);
  if (error != 0) return Status::Error(error);
  return items;
}

void FolderLock::Release() {
  if (handle_ == -1) return;
  HANDLE semaphore = reinterpret_cast<HANDLE>(handle_);
  ReleaseSemaphore(semaphore, 1, nullptr);
  CloseHandle(semaphore);
  handle_ = -1;
}

Result<FolderLock> LockFolder(const Folder& folder, const WString& name) {
  // A named semaphore, not a file: nothing in the folder can be planted in
  // its way. Named after the folder's identity, so every path to it agrees.
  std::optional<FileId> id = IdOf(H(folder));
  if (!id) return LastError();
  WString full = u"Global\\" + name;
  for (uint64_t part : {id->volume, id->index}) {
    full += u'-';
    for (int shift = 60; shift >= 0; shift -= 4) full += u"0123456789abcdef"[(part >> shift) & 15];
  }
  HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, W(full));
  // Without the right to name global objects, the session's own namespace.
  if (!semaphore) semaphore = CreateSemaphoreW(nullptr, 1, 1, W(full) + 7);
  if (!semaphore) return LastError();
  if (WaitForSingleObject(semaphore, 0) != WAIT_OBJECT_0) {
    CloseHandle(semaphore);
    return Status::Error(ERROR_BUSY);
  }
  return FolderLock(reinterpret_cast<intptr_t>(semaphore));
}

bool IsHeldElsewhere(int os_error) { return os_error == ERROR_BUSY; }

const bool kHasFileSystemSync = false;

Status SyncFileSystem(const Folder&) { return Status::Error(ERROR_NOT_SUPPORTED); }

namespace {

// One provider for the whole process, acquired on first use and kept:
// acquiring one costs more than hashing a small file. Two threads may both
// acquire one at first; the one that loses the race releases its own.
void* volatile g_hash_provider = nullptr;

HCRYPTPROV HashProvider() {
  if (void* shared = g_hash_provider) return reinterpret_cast<HCRYPTPROV>(shared);
  HCRYPTPROV mine = 0;
  if (!CryptAcquireContextW(&mine, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
  void* was =
      InterlockedCompareExchangePointer(&g_hash_provider, reinterpret_cast<void*>(mine), nullptr);
  if (!was) return mine;
  CryptReleaseContext(mine, 0);
  return reinterpret_cast<HCRYPTPROV>(was);
}

}  // namespace

struct Sha256::State {
  HCRYPTHASH hash = 0;
  bool ok = false;
};

Sha256::Sha256() : state_(new State) {
  HCRYPTPROV provider = HashProvider();
  state_->ok = provider && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &state_->hash);
}

Sha256::~Sha256() {
  if (state_->hash) CryptDestroyHash(state_->hash);
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
  if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
    status_ = LastError();
    return;
  }
  if (size.QuadPart <= 0) return;  // an empty file: nothing to map
  if (static_cast<uint64_t>(size.QuadPart) > SIZE_MAX) {
    status_ = Status::Error(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  HANDLE mapping = CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (!mapping) {
    status_ = LastError();
    return;
  }
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (!view) {
    status_ = LastError();
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

struct Thread::State {
  HANDLE handle;
  void (*work)(void*);
  void* argument;
};

namespace {
DWORD WINAPI RunThread(LPVOID state) {
  auto* s = static_cast<Thread::State*>(state);
  s->work(s->argument);
  return 0;
}
}  // namespace

Result<Thread> StartThread(void (*work)(void*), void* argument) {
  Thread thread;
  thread.state_ = new Thread::State{nullptr, work, argument};
  thread.state_->handle = CreateThread(nullptr, 0, RunThread, thread.state_, 0, nullptr);
  if (!thread.state_->handle) {
    Status failed = LastError();
    delete thread.state_;
    thread.state_ = nullptr;
    return failed;
  }
  return thread;
}

void SleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void Thread::Join() {
  if (!state_) return;
  WaitForSingleObject(state_->handle, INFINITE);
  CloseHandle(state_->handle);
  delete state_;
  state_ = nullptr;
}

namespace {

// What an interrupt removes: set before the handler is armed, read only by it.
wchar_t g_remove_on_interrupt[MAX_PATH];
volatile LONG g_remove_armed = 0;

const char* volatile g_interrupt_message = nullptr;

SRWLOCK g_interrupt_hold = SRWLOCK_INIT;

BOOL WINAPI RemoveAndExit(DWORD event) {
  AcquireSRWLockExclusive(&g_interrupt_hold);  // never released: the process ends here
  if (g_remove_armed) DeleteFileW(g_remove_on_interrupt);
  if (const char* message = g_interrupt_message) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(lstrlenA(message)),
              &written, nullptr);
  }
  ExitProcess(event == CTRL_C_EVENT ? 130 : 143);
  return TRUE;
}

}  // namespace

void RemoveOnInterrupt(const WString& path, const char* message) {
  if (path.size() >= MAX_PATH) return;
  std::wcscpy(g_remove_on_interrupt, W(path));
  g_interrupt_message = message;
  g_remove_armed = path.empty() ? 0 : 1;
  SetConsoleCtrlHandler(RemoveAndExit, TRUE);
}

void HoldInterrupts() { AcquireSRWLockExclusive(&g_interrupt_hold); }

void ReleaseInterrupts() { ReleaseSRWLockExclusive(&g_interrupt_hold); }

void CancelRemoveOnInterrupt() {
  g_remove_armed = 0;
  g_interrupt_message = nullptr;
}

WString DisplayPath(WString path) { return path; }

bool IsAlreadyThere(int os_error) {
  return os_error == ERROR_FILE_EXISTS || os_error == ERROR_ALREADY_EXISTS;
}

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

#ifdef UPDATER_FAULT_SEAM
int InjectedError() { return ERROR_WRITE_FAULT; }
int DiskFullError() { return ERROR_DISK_FULL; }
void KillProcessForTesting() {
  TerminateProcess(GetCurrentProcess(), 137);
  for (;;) {
  }
}
#endif

}  // namespace updater::platform

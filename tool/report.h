// How updatepkg speaks: exit codes, paths as typed and as this system writes
// them, the words for counts and programs, and one line on standard error
// for each failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/failure.h"
#include "package/format.h"
#include "platform/platform.h"

namespace updater::tool {

constexpr int kOk = 0;
constexpr int kFault = 1;  // a package or a file is at fault
constexpr int kUsage = 2;  // the command line is

std::string Utf8(const WString& text);

// A path as typed, in the library's form ("\" between components).
WString PathArgument(const std::string& text);

// A path in the library's form as this system writes it, in UTF-8.
std::string Shown(const WString& path);

// Prints "updatepkg: FILE: REASON" and gives kFault.
int PrintFault(const std::string& file, const std::string& reason);

// Reports `failure` of `file` on one line: where in the package, for a
// fault of one of its entries, then the cause, the path (unless it is
// `file` itself) and the system's message, and `detail`. Every failure is
// the package's or a file's: kFault.
int Report(const std::string& file, const Failure& failure, const std::string& detail = "");

// "1 file", "2 files".
std::string Count(int64_t n, const char* one, const char* many);

// What a path argument must be.
enum class PathKind { kFolder, kFile };

// kOk when the argument `what` (SRC_DIR, --delta-from, UPDATE…), typed as
// `typed`, is a `kind`; otherwise reports it with its option, what is
// there instead or the system's word for nothing, and gives `code`.
int CheckPathArgument(const char* what, const std::string& typed, PathKind kind, int code = kFault);

// The kind of program the file at `path` starts with; kUnknown where it
// cannot be read.
package::ProgramKind ProgramKindOf(const WString& path);

// The program an update file carries, in the words list, verify and build
// print ("Windows 32-bit GUI", "Linux", "unknown").
std::string ProgramName(const WString& path);

// The program named with its article: "a Linux program", "an unknown program".
std::string AProgram(const std::string& program);

// The names of the releases in `releases` (a bit each, the first release
// lowest), as `labels` has them: a label, or "release N" for one without.
std::vector<std::string> ReleaseNames(uint32_t releases, const std::vector<WString>& labels);

// Why an update named `typed` that carries `program` is named amiss: an
// .exe without a Windows program, or a Windows program not named .exe.
std::optional<std::string> NamedAmiss(const std::string& typed, const std::string& program);

}  // namespace updater::tool

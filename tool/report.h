// How updatepkg speaks: exit codes, paths as typed and as this system writes
// them, and one line on standard error for each failure.
#pragma once

#include <string>

#include "package/failure.h"
#include "platform/platform.h"

namespace updater::tool {

constexpr int kOk = 0;
constexpr int kFault = 1;  // a package or a file is at fault
constexpr int kUsage = 2;  // the command line is

std::string Utf8(const WString& text);

// A path as typed, in the library's form ("\" between components).
WString PathArgument(const std::string& text);

// A path in the library's form as this system writes it, for messages.
WString AsTheSystemWritesIt(WString path);

// Prints "updatepkg: FILE: REASON" and gives kFault.
int PrintFault(const std::string& file, const std::string& reason);

// Reports `failure` of `file` on one line: where in the package, for a
// fault of one of its entries, then the cause, the path and the system's
// message, and `detail`. Every failure is the package's or a file's: kFault.
int Report(const std::string& file, const Failure& failure, const std::string& detail = "");

// The program an update file carries, in the words list, verify and build print.
std::string ProgramName(const WString& path);

}  // namespace updater::tool

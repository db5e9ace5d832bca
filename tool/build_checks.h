// The checks of `updatepkg build`'s paths before anything is written: the
// stub, the output and what it must not overwrite, the old releases' typed
// labels; and the words for a name the build refused.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pack/package_builder.h"
#include "platform/platform.h"

namespace updater::tool {

// Which rule the last name of `path` breaks, in words.
std::string RuleBroken(const WString& path);

// The file of the tree at `source` that `path` clashes with: one equal to it
// ignoring case, or one that needs a folder where it is a file (or the reverse).
std::string ClashWith(const WString& path, const WString& source);

// The shipped Windows updater.exe, where the build and `cmake --install`
// put it: beside updatepkg, in ../share/tessaran-updater (an install), or in
// ../windows (the build's presets); none when it is in none of them.
std::optional<WString> DefaultStub();

// Why writing `output` would destroy an input, or nothing: it lies in one of
// `trees` (told by identity, folder by folder up from it, not by the text),
// it is the stub, or it is one of `listed`, the tree at `trees[0]` (listed
// here when the caller has not listed it).
std::optional<std::string> OverwritesAnInput(const WString& output,
                                             const std::vector<WString>& trees, const WString& stub,
                                             const std::vector<pack::TreeFile>& listed);

// kOk when `stub` (named `what` in messages) is a program, Windows or Linux,
// that carries no package yet; otherwise a usage error that says what it is.
int CheckStub(const WString& stub, const char* what);

// kOk when the update can be written at `typed`: not a folder, and in one.
int CheckOutput(const std::string& typed);

// Splits "DIR=LABEL" at the last "=" that leaves a folder before it; a
// typed folder, or one that is none, is all path.
std::pair<std::string, std::optional<std::string>> SplitLabel(const std::string& typed);

}  // namespace updater::tool

// The path rules the updater relies on, as plain string operations on
// "\"-separated UTF-16 paths. The POSIX build uses them in place of the shell
// path functions; the Windows build has those functions themselves.
#pragma once

#include <optional>
#include <string>

namespace updater::platform {

// Joins with one "\", drops "." components, resolves ".." (never above the
// start of the path) and refuses results longer than 259 units.
std::optional<std::u16string> JoinPathRules(const std::u16string& base, const std::u16string& more);

// ".\"-prefixed path of `file` relative to directory `dir`; none when the two
// share no root.
std::optional<std::u16string> RelativePathRules(const std::u16string& dir,
                                                const std::u16string& file);

}  // namespace updater::platform

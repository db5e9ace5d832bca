// UTF-16 <-> UTF-8 for the POSIX platform layer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace updater::platform {

// UTF-8 of `text`; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-16 of `bytes`; none when `bytes` is not valid UTF-8.
std::optional<std::u16string> FromUtf8(std::string_view bytes);

// UTF-16 of `bytes` with each byte of an invalid sequence kept as the
// unpaired surrogate U+DC00 + byte, so such text is never mistaken for a
// valid name (the name rules refuse unpaired surrogates).
std::u16string FromUtf8Escaped(std::string_view bytes);

}  // namespace updater::platform

#include "platform/utf8.h"

namespace updater::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

// Decodes one code point at `i`, advancing it; none for an invalid sequence
// (then `i` has moved past one byte).
std::optional<char32_t> DecodeOne(std::string_view s, size_t& i) {
  unsigned char lead = static_cast<unsigned char>(s[i++]);
  if (lead < 0x80) return lead;
  int extra;
  char32_t c;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, min = 0x10000;
  } else {
    return std::nullopt;
  }
  size_t start = i;
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      i = start;
      return std::nullopt;
    }
    c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    i = start;
    return std::nullopt;
  }
  return c;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::optional<std::u16string> FromUtf8(std::string_view bytes) {
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    std::optional<char32_t> c = DecodeOne(bytes, i);
    if (!c) return std::nullopt;
    AppendUtf16(out, *c);
  }
  return out;
}

std::u16string FromUtf8Escaped(std::string_view bytes) {
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    std::optional<char32_t> c = DecodeOne(bytes, i);
    AppendUtf16(out, c ? *c : 0xDC00 | static_cast<unsigned char>(bytes[i - 1]));
  }
  return out;
}

}  // namespace updater::platform

#include "package/entry_name.h"

#include <algorithm>
#include <iterator>

namespace updater::package {
namespace {

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

bool IsForbiddenUnit(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*' ||
         c == u':' || c == u'/' || c == u'\\';
}

struct CaseRange {
  char16_t first;
  uint8_t span;  // last - first
  uint8_t stride;
  int16_t delta;  // modulo 2^16, as char16_t arithmetic wraps
};

constexpr CaseRange kUppercase[] = {
#include "package/case_table.inc"
};

char16_t FoldUnit(char16_t c) {
  const CaseRange* range =
      std::upper_bound(std::begin(kUppercase), std::end(kUppercase), c,
                       [](char16_t unit, const CaseRange& r) { return unit < r.first; });
  if (range == std::begin(kUppercase)) return c;
  --range;
  if (c - range->first > range->span || (c - range->first) % range->stride != 0) return c;
  return static_cast<char16_t>(c + range->delta);
}

// Device names Windows opens whatever folder they are in and whatever
// extension follows them.
bool IsDeviceName(const WString& component) {
  WString base = FoldCase(component.substr(0, component.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (base == device) return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, u"COM") != 0 && base.compare(0, 3, u"LPT") != 0)) {
    return false;
  }
  char16_t digit = base[3];
  return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
         digit == u'\u00B3';
}

}  // namespace

bool SurrogatesArePaired(const WString& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsSurrogate(text[i])) continue;
    if (!IsHighSurrogate(text[i]) || i + 1 == text.size() || !IsSurrogate(text[i + 1]) ||
        IsHighSurrogate(text[i + 1])) {
      return false;
    }
    ++i;
  }
  return true;
}

bool IsAcceptableLabel(const WString& label) {
  auto control = [](char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); };
  return label.size() <= kMaxLabelUnits && SurrogatesArePaired(label) &&
         std::none_of(label.begin(), label.end(), control);
}

NameRule BrokenRule(const WString& component) {
  if (component.empty() || component == u"." || component == u"..") return NameRule::kDots;
  for (char16_t c : component) {
    if (c == u':') return NameRule::kColon;
    if (c == u'\\' || c == u'/') return NameRule::kSeparator;
    if (IsForbiddenUnit(c)) return NameRule::kForbidden;
  }
  if (component.back() == u'.' || component.back() == u' ') return NameRule::kTrailingDotOrSpace;
  if (!SurrogatesArePaired(component)) return NameRule::kNoUnicode;
  return IsDeviceName(component) ? NameRule::kDeviceName : NameRule::kNone;
}

bool IsAcceptableComponent(const WString& component) {
  return BrokenRule(component) == NameRule::kNone;
}

bool IsAcceptableEntryName(const WString& name) {
  size_t start = 0;
  while (name.compare(start, 2, u".\\") == 0) start += 2;
  if (start >= name.size()) return false;
  if (FoldCase(name.substr(start, name.find(u'\\', start) - start)) ==
      FoldCase(kStagingFolderName)) {
    return false;
  }
  for (;;) {
    size_t end = name.find(u'\\', start);
    WString component = name.substr(start, end - start);
    if (end == WString::npos) return IsAcceptableComponent(component);
    if (component != u"." && !IsAcceptableComponent(component)) return false;
    start = end + 1;
  }
}

WString FoldCase(const WString& text) {
  WString out = text;
  for (char16_t& c : out) c = FoldUnit(c);
  return out;
}

namespace {

// Where `item` is or belongs in the sorted `items`; true when it is there.
bool Find(const std::vector<WString>& items, const WString& item, size_t& at) {
  at = static_cast<size_t>(std::lower_bound(items.begin(), items.end(), item) - items.begin());
  return at < items.size() && items[at] == item;
}

void Insert(std::vector<WString>& items, const WString& item) {
  size_t at;
  if (!Find(items, item, at)) items.insert(items.begin() + static_cast<std::ptrdiff_t>(at), item);
}

}  // namespace

bool AddPackagePath(PackagePaths& paths, const WString& path, bool removal) {
  WString folded = FoldCase(path);
  size_t at;
  if (Find(paths.files, folded, at) || Find(paths.removed, folded, at)) return false;
  if (removal) {
    Insert(paths.removed, folded);
    return true;
  }
  if (Find(paths.folders, folded, at)) return false;
  for (size_t i = folded.find(u'\\'); i != WString::npos; i = folded.find(u'\\', i + 1)) {
    if (Find(paths.files, folded.substr(0, i), at)) return false;
  }
  for (size_t i = folded.find(u'\\'); i != WString::npos; i = folded.find(u'\\', i + 1)) {
    Insert(paths.folders, folded.substr(0, i));
  }
  Insert(paths.files, folded);
  return true;
}

}  // namespace updater::package

#include "platform/path_rules.h"

#include <vector>

#include "platform/platform.h"

namespace updater::platform {
namespace {

struct SplitPath {
  bool absolute = false;
  std::vector<std::u16string> parts;
};

// Splits on "\" and canonicalises: "." and empty components vanish, ".." eats
// its predecessor and is dropped where there is none.
SplitPath Canonicalize(const std::u16string& path) {
  SplitPath out;
  out.absolute = !path.empty() && path[0] == u'\\';
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(start, end - start);
    if (part == u"..") {
      if (!out.parts.empty()) out.parts.pop_back();
    } else if (!part.empty() && part != u".") {
      out.parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return out;
}

std::u16string Join(const std::vector<std::u16string>& parts, size_t from) {
  std::u16string out;
  for (size_t i = from; i < parts.size(); ++i) {
    if (i > from) out += u'\\';
    out += parts[i];
  }
  return out;
}

}  // namespace

std::optional<std::u16string> JoinPathRules(const std::u16string& base,
                                            const std::u16string& more) {
  size_t skip = 0;
  while (skip < more.size() && more[skip] == u'\\') ++skip;
  SplitPath split = Canonicalize(base + u'\\' + more.substr(skip));
  std::u16string out = (split.absolute ? u"\\" : u"") + Join(split.parts, 0);
  if (out.size() > kMaxPathUnits) return std::nullopt;
  return out;
}

std::optional<std::u16string> RelativePathRules(const std::u16string& dir,
                                                const std::u16string& file) {
  SplitPath from = Canonicalize(dir);
  SplitPath to = Canonicalize(file);
  if (from.absolute != to.absolute) return std::nullopt;
  size_t common = 0;
  while (common < from.parts.size() && common < to.parts.size() &&
         from.parts[common] == to.parts[common]) {
    ++common;
  }
  std::u16string out;
  if (common == from.parts.size()) {
    out = u".\\";
  } else {
    for (size_t i = common; i < from.parts.size(); ++i) out += u"..\\";
  }
  out += Join(to.parts, common);
  if (out.size() > kMaxPathUnits) return std::nullopt;
  return out;
}

}  // namespace updater::platform

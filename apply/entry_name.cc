#include "apply/entry_name.h"

bool IsAcceptableEntryName(const WString& name) {
  if (name.empty() || name[0] == u'\\') return false;
  if (name.find_first_of(u":/") != WString::npos) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == WString::npos) end = name.size();
    if (name.compare(start, end - start, u"..") == 0) return false;
    start = end + 1;
  }
  return true;
}

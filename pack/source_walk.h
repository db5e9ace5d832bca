// The one walk over a source tree, for the build and for the studio's
// listings: every file below a folder, depth-first in ordinal UTF-16 order of
// the names (the same tree gives the same order on any machine), links to
// files and folders followed, and a folder link back to a folder being
// walked skipped.
#pragma once

#include "package/failure.h"
#include "platform/platform.h"

namespace updater::pack {

// What a walk tells its caller. Plain function pointers with the caller's
// `context`: the updater carries the walk, and every std::function costs it
// code.
struct TreeVisitor {
  void* context = nullptr;
  // Told each file met: the held folder it lies in, its name there and its
  // path. A failure it returns ends the walk.
  Failure (*file)(void* context, const platform::Folder& folder, const WString& name,
                  const WString& path) = nullptr;
  // Told one line per folder entered ("<path>"), file met and item skipped;
  // null for none.
  void (*trace)(void* context, const WString& line) = nullptr;
};

// Walks the tree at `root`; a missing root holds no files. The first failure
// (a folder that cannot be opened or listed, an item that is neither a file
// nor a folder, a name no package may carry, a path that passes 259 units,
// or one the visitor returns) ends it.
Failure WalkTree(const WString& root, const TreeVisitor& visitor);

}  // namespace updater::pack

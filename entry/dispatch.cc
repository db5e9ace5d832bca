#include "entry/dispatch.h"

#include "entry/apply_mode.h"
#include "entry/build_mode.h"
#include "entry/product_texts.h"
#include "package/entry_name.h"

namespace updater::entry {

bool IsBuildCommand(const std::vector<WString>& args) {
  // The option in either case, and no other spelling.
  return args.size() == 3 &&
         package::FoldCase(args[1]) == package::FoldCase(kProductTexts.build_option);
}

int RunUpdater() {
  std::optional<std::vector<WString>> args = platform::CommandLineArguments();
  if (args && IsBuildCommand(*args)) return BuildPackage((*args)[2]) ? 0 : 1;
  // The running image's own path, not argv[0]: a command line may name the
  // program without its folder or extension.
  std::optional<WString> self = platform::OwnExecutablePath();
  if (!self && args) self = (*args)[0];
  return ApplyPackage(self.value_or(WString()));
}

}  // namespace updater::entry

// `updatepkg verify`: the whole package read as the updater reads it, and
// the first fault named.
#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "package/package_index.h"
#include "tool/commands.h"
#include "tool/progress.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

// The name of the entry at fault as list names it (".\\data\\a.pak"), or
// null where the fault is not an entry's or came before its name.
nlohmann::json EntryNameOf(const Failure& failure) {
  if (failure.entry == 0 || failure.path.empty()) return nullptr;
  WString name = failure.path;  // joined to ".\\", which the join drops
  if (name.compare(0, 2, u".\\") != 0) name = u".\\" + name;
  return Utf8(name);
}

// Warns where an update's name and its program disagree.
void WarnIfNamedAmiss(const std::string& update, const std::string& program) {
  if (std::optional<std::string> amiss = NamedAmiss(update, program)) {
    fmt::print(stderr, "updatepkg: warning: {}\n", *amiss);
  }
}

}  // namespace

int RunVerify(const VerifyRequest& request) {
  const std::string& update = request.update;
  bool json = request.json;
  if (int code = CheckPathArgument("UPDATE", update, PathKind::kFile)) return code;
  Progress progress(std::move(platform::FileSize(PathArgument(update))).value_or(0));
  int entries = 0;
  std::optional<WString> label;
  Failure failure = package::ReadPackageIndex(
      PathArgument(update),
      [&](const package::IndexedEntry& e) {
        ++entries;
        progress.Update(e.record.offset);
      },
      package::IndexReading::kChecked, &label);
  progress.End();  // what follows on lines of its own
  std::string program = ProgramName(PathArgument(update));
  WarnIfNamedAmiss(update, program);
  if (json) {
    nlohmann::json fault = nullptr;
    if (failure.failed()) {
      fault = {{"entry", failure.entry},
               {"offset", failure.offset},
               {"reason", Describe(failure.cause)},
               {"name", EntryNameOf(failure)}};
    }
    fmt::print("{}\n", nlohmann::json{{"update", update},
                                      {"sound", !failure.failed()},
                                      {"entries", entries},
                                      {"program", program},
                                      {"label", label ? nlohmann::json(Utf8(*label)) : nullptr},
                                      {"fault", fault}}
                           .dump(2));
    return failure.failed() ? kFault : kOk;
  }
  if (failure.failed()) return Report(update, failure);
  fmt::print("{}: sound, {}, carries {}\n", update, Count(entries, "entry", "entries"),
             AProgram(program));
  return kOk;
}

}  // namespace updater::tool

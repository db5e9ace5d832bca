// updatepkg: the studio's tool to build, list, verify, extract and plan
// update packages. The command line becomes one request here, and each
// command runs over its own (commands.h). The packages are read and written
// by the updater's own library.
//
// Exit codes: 0 success (plan: the update would apply), 1 a package or file
// is at fault (plan: it would fail), 2 a usage error, 130 and 143 a build
// interrupted (SIGINT, SIGTERM) with nothing written.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package/entry_name.h"
#include "platform/platform.h"
#include "platform/utf8.h"
#include "product/product.h"
#include "tool/commands.h"
#include "tool/progress.h"
#include "tool/report.h"

namespace updater::tool {
namespace {

// Everything the command line asked, once parsed.
struct Request {
  enum class Command { kHelp, kBuild, kList, kVerify, kExtract, kPlan } command = Command::kHelp;
  BuildRequest build;
  ListRequest list;
  VerifyRequest verify;
  ExtractRequest extract;
  PlanRequest plan;
  ProgressMode progress = ProgressMode::kTerminal;
};

void AddBuildOptions(CLI::App& build, BuildRequest& args) {
  build.add_option("SRC_DIR", args.source, "the tree to pack, as -l packs ./src")->required();
  build.add_option("-o,--output", args.output, "the update to write")->required();
  build.add_option("--stub", args.stub,
                   "the program to put first (default: the shipped Windows updater.exe "
                   "beside updatepkg, in ../share/tessaran-updater or in ../windows)");
  build.add_flag("-v,--verbose", args.verbose, "trace every folder and file met");
  build
      .add_option("--threads", args.threads,
                  "compressing threads (default: one per processor; the bytes are the same)")
      ->check(CLI::Range(1, 1024));
  build
      .add_option("--compression", args.compression,
                  "lzma (default): whole files coded together in blocks, deltas' whole files "
                  "too; deflate: each file alone, as -l packs")
      ->check(CLI::IsMember({"lzma", "deflate"}));
  build
      .add_option("--level", args.level,
                  "how hard lzma works: fast (4 MiB window), normal (default, 64 MiB), max "
                  "(64 MiB, longest matches, larger blocks); applying needs the window in memory")
      ->check(CLI::IsMember({"fast", "normal", "max"}));
  CLI::Option* changed_since =
      build.add_option("--changed-since", args.changed_since,
                       "pack only files new or changed since this release tree");
  CLI::Option* delta_from =
      build
          .add_option("--delta-from", args.delta_from,
                      "as --changed-since, and pack a changed file as its difference from the "
                      "file it replaces where that is smaller; again for each release the "
                      "update is to bring up to date, DIR=LABEL to name it in the debug line")
          ->expected(1)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->excludes(changed_since);
  build
      .add_flag("--whole-fallback", args.whole_fallback,
                "with --delta-from: carry each patched file whole too, for a game whose file "
                "is none of the versions patched (edited or damaged): the update repairs it")
      ->needs(delta_from);
  build.add_flag("--keep-removed", args.keep_removed,
                 "with --changed-since or --delta-from: leave the files the old release had "
                 "and this one has not, instead of removing them");
  build
      .add_option("--version-label", args.version_label,
                  "the label the player's boxes show after the title, such as \"(1.2.0.0)\"; "
                  "empty asks the plain question (default: the program's own)")
      ->check([](const std::string& text) {
        return package::IsAcceptableLabel(platform::FromUtf8Escaped(text))
                   ? ""
                   : "at most 64 characters of text, no control characters";
      });
  build.add_flag("--json", args.json,
                 "print a JSON summary: program, entries by kind, bytes, size, gone files");
  build.add_flag("--fail-if-empty", args.fail_if_empty,
                 "exit 1 when the update carries no files (it is written all the same)");
}

// The other commands' words into `request`.
void AddPackageCommands(CLI::App& app, Request& request) {
  CLI::App* list = app.add_subcommand("list", "Lists the entries of UPDATE.");
  list->add_option("UPDATE", request.list.update, "an update or package file")->required();
  list->add_flag("--json", request.list.json, "print JSON: the program and an array of entries");
  list->add_flag("--hashes", request.list.hashes, "add each file's SHA-256 (inflates every entry)");
  CLI::App* verify = app.add_subcommand("verify", "Checks UPDATE as the updater would.");
  verify->add_option("UPDATE", request.verify.update, "an update or package file")->required();
  verify->add_flag("--json", request.verify.json, "print the verdict as JSON");
  CLI::App* extract =
      app.add_subcommand("extract", "Recreates the files of UPDATE under DIR, all or nothing.");
  extract->add_option("UPDATE", request.extract.update, "an update or package file")->required();
  extract->add_option("DIR", request.extract.dir, "the folder to extract into")->required();
  CLI::App* plan = app.add_subcommand(
      "plan", "Prints what UPDATE would do to the game in GAME_DIR, file by file; writes nothing.");
  plan->add_option("UPDATE", request.plan.update, "an update or package file")->required();
  plan->add_option("GAME_DIR", request.plan.dir, "the game's folder")->required();
  plan->add_flag("--json", request.plan.json, "print the plan as JSON");
}

// The command `app` parsed into.
Request::Command CommandOf(const CLI::App& app) {
  using Command = Request::Command;
  for (auto [name, command] : {std::pair{"build", Command::kBuild},
                               {"list", Command::kList},
                               {"verify", Command::kVerify},
                               {"extract", Command::kExtract},
                               {"plan", Command::kPlan}}) {
    if (app.got_subcommand(name)) return command;
  }
  return Command::kHelp;
}

// Parses `argv` into `request`; none when the request is to be run, else
// the exit code (help printed, or a usage error reported).
std::optional<int> ParseRequest(std::vector<char*>& argv, Request& request) {
  CLI::App app{"Builds, lists, verifies, extracts and plans update packages of " UPDATER_TITLE_UTF8
               "."};
  app.name("updatepkg");
  app.footer(
      "Exit codes: 0 success (plan: the update would apply); 1 a package or file at fault "
      "(plan: it would fail); 2 a usage error; 130, 143 build interrupted (SIGINT, SIGTERM), "
      "nothing written.");
  app.require_subcommand(1);
  // On Windows the library would take "/builds/update.exe" for a switch; it
  // is a path from the root of the current drive. Subcommands inherit this.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", "updatepkg " UPDATER_VERSION_UTF8 " for " UPDATER_TITLE_UTF8);
  app.fallthrough();  // --quiet and --progress after the subcommand too
  bool quiet = false, lines = false;
  app.add_flag("--quiet", quiet, "draw no progress");
  app.add_flag("--progress", lines,
               "draw progress where standard error is no terminal too: a line per 5 % or 2 s");
  CLI::App* help = app.add_subcommand("help", "Prints this help.");
  CLI::App* build = app.add_subcommand(
      "build", "Writes OUTPUT as the updater program followed by the package of SRC_DIR.");
  AddBuildOptions(*build, request.build);
  AddPackageCommands(app, request);
  // A first word that names no command is a mistyped one, not a missing one.
  std::string commands;
  bool known = false;
  for (const CLI::App* command : app.get_subcommands({})) {
    commands += (commands.empty() ? "" : ", ") + command->get_name();
    known = known || (argv.size() > 1 && command->get_name() == argv[1]);
  }
  if (argv.size() > 1 && argv[1][0] != '-' && !known) {
    fmt::print(stderr, "updatepkg: unknown command: {}; the commands are {}\n", argv[1], commands);
    return kUsage;
  }
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kOk : kUsage;
  }
  if (*help) {
    fmt::print("{}", app.get_formatter()->make_help(&app, "updatepkg", CLI::AppFormatMode::Normal));
    return kOk;
  }
  if (quiet && lines) {
    fmt::print(stderr, "updatepkg: --quiet and --progress exclude each other\n");
    return kUsage;
  }
  request.progress = quiet ? ProgressMode::kNone : lines ? ProgressMode::kLines : request.progress;
  request.command = CommandOf(app);
  return std::nullopt;
}

int Run(const Request& request) {
  SetProgressMode(request.progress);
  switch (request.command) {
    case Request::Command::kBuild:
      return RunBuild(request.build);
    case Request::Command::kList:
      return RunList(request.list);
    case Request::Command::kVerify:
      return RunVerify(request.verify);
    case Request::Command::kExtract:
      return RunExtract(request.extract);
    case Request::Command::kPlan:
      return RunPlan(request.plan);
    case Request::Command::kHelp:
      break;
  }
  return kOk;
}

}  // namespace

}  // namespace updater::tool

int main() {
  using namespace updater;
  // Windows' C library buffers stderr whole when it is a pipe: a CI log would
  // get every progress line at the end, and nothing at all from a run that
  // ends without flushing. Each message goes out as it is printed.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::vector<std::string> args;
  for (const WString& arg : platform::CommandLineArguments().value_or(std::vector<WString>{})) {
    args.push_back(tool::Utf8(arg));
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  tool::Request request;
  std::optional<int> parsed = tool::ParseRequest(argv, request);
  return parsed ? *parsed : tool::Run(request);
}

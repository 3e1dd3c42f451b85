#include <cstdio>
#include <cstring>
#include <string>

#include "app/build_info.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/help.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const velmora::cli::Args&);
};

const Command kCommands[] = {
    {"info", velmora::cli::RunInfo},       {"scan", velmora::cli::RunScan},
    {"list", velmora::cli::RunList},       {"recover", velmora::cli::RunRecover},
    {"cat", velmora::cli::RunCat},         {"disks", velmora::cli::RunDisks},
    {"image", velmora::cli::RunImage},     {"identify", velmora::cli::RunIdentify},
    {"preview", velmora::cli::RunPreview},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: velmora COMMAND [ARGS]\n\ncommands:\n");
  for (const auto& help : velmora::cli::CommandHelps()) {
    std::fprintf(out, "  velmora %s\n", help.synopsis);
  }
  std::fprintf(out,
               "\n'velmora help COMMAND' or 'velmora COMMAND --help' shows a command's options.\n");
}

}  // namespace

int main(int argc, char** argv) {
  using velmora::cli::kExitOk;
  using velmora::cli::kExitUsage;
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--version" || name == "-V") {
    std::printf("%s\n", velmora::app::VersionLine().c_str());
    return kExitOk;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    if (argc == 2) {
      PrintUsage(stdout);
      return kExitOk;
    }
    const velmora::cli::CommandHelp* help = velmora::cli::FindHelp(argv[2]);
    if (help == nullptr || argc > 3) {
      std::fprintf(stderr, "velmora help: %s\n",
                   argc > 3 ? ("unexpected argument '" + std::string(argv[3]) + "'").c_str()
                            : ("unknown command '" + std::string(argv[2]) + "'").c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
    velmora::cli::PrintCommandHelp(*help, stdout);
    return kExitOk;
  }
  for (const auto& command : kCommands) {
    if (name != command.name) continue;
    velmora::cli::Args args(argv + 2, argv + argc);
    for (const std::string& arg : velmora::cli::OptionPart(args)) {
      if (arg == "--help" || arg == "-h") {
        velmora::cli::PrintCommandHelp(*velmora::cli::FindHelp(name), stdout);
        return kExitOk;
      }
    }
    return command.run(args);
  }
  std::fprintf(stderr, "velmora: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}

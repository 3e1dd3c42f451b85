#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const velmora::cli::Args&);
  const char* usage;
};

const Command kCommands[] = {
    {"info", velmora::cli::RunInfo, "info SOURCE [--json]"},
    {"scan", velmora::cli::RunScan, "scan SOURCE [--quick | --deep] [--fresh] [--json]"},
    {"list", velmora::cli::RunList,
     "list SOURCE [--quick | --deep] [--type CATEGORY[,CATEGORY...]] [--json]"},
    {"recover", velmora::cli::RunRecover,
     "recover SOURCE --to DIR [--quick | --deep] [--type ...] [--id ID ...] [--keep-paths]"},
    {"disks", velmora::cli::RunDisks, "disks [--json]"},
    {"image", velmora::cli::RunImage, "image SOURCE --to FILE.img [--strict] [--force]"},
    {"identify", velmora::cli::RunIdentify, "identify FILE [--offset BYTES] [--json]"},
    {"preview", velmora::cli::RunPreview, "preview SOURCE --id ID [--quick | --deep] [--to FILE]"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: velmora COMMAND [ARGS]\n\ncommands:\n");
  for (const auto& command : kCommands) std::fprintf(out, "  velmora %s\n", command.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return velmora::cli::kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return velmora::cli::kExitOk;
  }
  for (const auto& command : kCommands) {
    if (name == command.name) {
      velmora::cli::Args args(argv + 2, argv + argc);
      return command.run(args);
    }
  }
  std::fprintf(stderr, "velmora: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return velmora::cli::kExitUsage;
}

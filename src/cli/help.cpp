#include "cli/help.h"

namespace velmora::cli {

namespace {

// The options that choose files, shared by list and recover.
std::vector<OptionHelp> WithChoiceOptions(std::vector<OptionHelp> options) {
  const std::vector<OptionHelp> choice = {
      {"--quick | --deep",
       "the result of that mode (default: the newest saved result, else a quick scan)"},
      {"--type CATEGORY[,...]", "photo, audio, video, document, archive, others or all (default)"},
      {"--name GLOB",
       "file name matches GLOB (the path when GLOB holds '/'), any case; repeatable"},
      {"--path FOLDER", "files in FOLDER of the volume and below it; repeatable"},
      {"--min-size SIZE", "at least SIZE bytes (k, M, G, T or KiB, MiB, GiB, TiB: powers of 1024)"},
      {"--max-size SIZE", "at most SIZE bytes"},
      {"--since TIME",
       "modified at or after TIME (YYYY-MM-DD[ HH:MM[:SS]], the MODIFIED column's clock)"},
      {"--until TIME", "modified at or before TIME (a date alone takes in the whole day)"},
      {"--id LIST", "only these ids (3,7,10-20); repeatable; unknown ids are named and exit 1"},
      {"--ids-from FILE", "ids from FILE ('-' for standard input), by whitespace, commas or lines"},
      {"--state STATE", "intact, partly, overwritten or beyond-end (the STATE column); repeatable"},
  };
  options.insert(options.begin(), choice.begin(), choice.end());
  return options;
}

}  // namespace

const std::vector<CommandHelp>& CommandHelps() {
  static const std::vector<CommandHelp> kHelps = {
      {"info",
       "info SOURCE [--json]",
       "What the engine selection sees in a disk, partition or image.",
       {{"--json", "the same as JSON"}},
       {"velmora info card.img", "velmora info disk.img@2"}},
      {"scan",
       "scan SOURCE [--quick | --deep] [--fresh] [--json]",
       "Scans SOURCE and keeps the result for list, recover, preview and cat.",
       {{"--quick", "read the file system's records of deleted files (the default)"},
        {"--deep", "also read the whole region: rebuild lost folders and carve files by content"},
        {"--fresh", "drop a saved deep scan instead of resuming it"},
        {"--json", "counts and the result folder as JSON"}},
       {"velmora scan card.img --deep"}},
      {"list",
       "list SOURCE [--quick | --deep] [--all] [CHOICE...] [--sort KEY] [--tree] [--json]",
       "Lists the files of the saved result of SOURCE (scanning first when there is none).",
       WithChoiceOptions(
           {{"--all", "existing files too, beside the deleted ones (ENTRY: live, deleted)"},
            {"--sort KEY", "name, path (up), size or modified (largest, newest first)"},
            {"--tree", "the folder tree with the number of files in and below each"},
            {"--json", "one object per file, exact names"}}),
       {"velmora list card.img --type photo --min-size 100k --sort size",
        "velmora list card.img --name '*.jpg' --path DCIM --since 2024-06-01",
        "velmora list broken.img --all"}},
      {"recover",
       "recover SOURCE --to DIR [--quick | --deep] [--all] [CHOICE...] [--keep-paths] [--again] "
       "[--allow-same-device] [--quiet] [--json]",
       "Copies the chosen files (all when none are chosen) into DIR, never over existing files.",
       WithChoiceOptions(
           {{"--to DIR", "destination folder (required; should be on another disk)"},
            {"--all", "choose among existing files too, not only deleted ones"},
            {"--keep-paths", "DIR/<folder in the volume>/NAME instead of DIR/<category>/NAME"},
            {"--again", "copy files the manifest in DIR shows recovered already, as NAME(n)"},
            {"--allow-same-device",
             "write into DIR even when it lies on SOURCE (refused otherwise)"},
            {"--quiet", "no line per file (failures are still named)"},
            {"--json", "the run and every file as JSON"}}),
       {"velmora recover card.img --deep --type photo --to /media/usb/rescued",
        "velmora recover card.img --id 3,7,10-20 --to /media/usb/some"}},
      {"cat",
       "cat SOURCE --id ID [--quick | --deep]",
       "Writes the bytes of one found file to standard output.",
       {{"--id ID", "the file (an id from velmora list)"},
        {"--quick | --deep", "the result of that mode (default: the newest saved result)"}},
       {"velmora cat card.img --id 12 > notes.txt"}},
      {"preview",
       "preview SOURCE --id ID [--quick | --deep] [--to FILE]",
       "Shows one found file without recovering it.",
       {{"--id ID", "the file (an id from velmora list)"},
        {"--quick | --deep", "the result of that mode"},
        {"--to FILE", "write a picture or a PDF's first page as PNG to FILE"}},
       {"velmora preview card.img --id 12", "velmora preview card.img --id 7 --to page.png"}},
      {"disks",
       "disks [--json]",
       "Every disk with its volumes and unallocated regions, and the source naming each.",
       {{"--json", "the same as JSON"}},
       {"velmora disks"}},
      {"image",
       "image SOURCE --to FILE.img [--strict] [--force] [--sparse]",
       "Copies a disk, partition or region into a raw image file.",
       {{"--to FILE.img", "the image to write (required)"},
        {"--strict", "stop at the first unreadable chunk instead of writing zeros"},
        {"--force", "replace an existing FILE.img, or start over from a map that does not fit"},
        {"--sparse", "leave runs of zero sectors as holes in FILE.img"}},
       {"velmora image /dev/sdb --to card.img"}},
      {"identify",
       "identify FILE [--offset BYTES] [--json]",
       "Which carved file type starts at a sector of an image or file.",
       {{"--offset BYTES", "where to look (a multiple of 512, default 0)"},
        {"--json", "the same as JSON"}},
       {"velmora identify card.img --offset 1048576"}},
      {"help",
       "help [COMMAND]",
       "The commands, or one command's options.",
       {},
       {"velmora help recover"}},
  };
  return kHelps;
}

const CommandHelp* FindHelp(const std::string& name) {
  for (const CommandHelp& help : CommandHelps()) {
    if (name == help.name) return &help;
  }
  return nullptr;
}

void PrintCommandHelp(const CommandHelp& help, FILE* out) {
  std::fprintf(out, "usage: velmora %s\n\n%s\n", help.synopsis, help.summary);
  if (!help.options.empty()) std::fprintf(out, "\noptions:\n");
  for (const OptionHelp& option : help.options) {
    std::fprintf(out, "  %-24s %s\n", option.option, option.text);
  }
  if (!help.examples.empty())
    std::fprintf(out, "\nexample%s:\n", help.examples.size() > 1 ? "s" : "");
  for (const char* example : help.examples) std::fprintf(out, "  %s\n", example);
}

}  // namespace velmora::cli

#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "app/file_choice.h"
#include "cli/commands.h"

namespace velmora::cli {

// One partition of a source that holds a partition table, named as a source of its own.
struct PartitionSource {
  size_t index = 0;  // the K of SOURCE@K
  std::string text;  // "card.img@2"
  std::string type;  // "FAT32 (LBA)", "Microsoft basic data"
};

// The partitions of an image, evidence set or disk device that holds an MBR or GPT and no file
// system of its own at its start (a card dump, a disk image, a loop device); empty for
// anything else, SOURCE@K, disk:N@K and disk:N:K included.
std::vector<PartitionSource> PartitionsOf(const std::string& source_text);
// Why a command that works on one file system cannot take such a source as it stands.
std::string NamePartitionHint(const std::string& source_text,
                              const std::vector<PartitionSource>& partitions);
// Whether the newest saved result of the whole image is a deep scan.
bool WholeImageHasDeepResult(const std::string& source_text);
// The partitions of `source_text` when a command reading results (list, recover, cat,
// preview) works on them one by one: without --deep and unless the whole source's newest
// saved result is a deep one (that covers partitions and the space between them).
std::vector<PartitionSource> ResultPartitionsOf(const std::string& source_text, bool quick,
                                                bool deep);

// cat, preview and recover of such a source, given the ids its listing showed: those count
// within their partition, so `command` runs on the one partition that holds them (SOURCE@K,
// the ids given as --id). Says why not, and names the partitions, when the ids lie in several
// partitions or in none, or when no id is given.
int RunOnPartitionOfIds(int (*command)(const Args&), const char* name, const Args& args,
                        const std::string& source_text,
                        const std::vector<PartitionSource>& partitions, const app::IdSet& ids,
                        bool quick);

// `scan` and `list` of such a source: the command once per partition, the results together,
// each file with its partition.
int ScanPartitions(const Args& args, const std::string& source_text,
                   const std::vector<PartitionSource>& partitions);
int ListPartitions(const Args& args, const std::string& source_text,
                   const std::vector<PartitionSource>& partitions);

}  // namespace velmora::cli

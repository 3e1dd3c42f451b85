#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora::cli {

struct OptionHelp {
  const char* option;  // "--to DIR"
  const char* text;    // one line
};

struct CommandHelp {
  const char* name;
  const char* synopsis;  // after "velmora "
  const char* summary;
  std::vector<OptionHelp> options;
  std::vector<const char*> examples;
};

const std::vector<CommandHelp>& CommandHelps();
const CommandHelp* FindHelp(const std::string& name);
void PrintCommandHelp(const CommandHelp& help, FILE* out);

}  // namespace velmora::cli

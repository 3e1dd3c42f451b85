#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace velmora::cli {

// Splits a command's arguments into flags, valued options and positionals.
// Valued options accept both "--opt value" and "--opt=value"; only those in
// `repeatable` may be given more than once. "--" ends the options: every
// argument after it is a positional, even one that starts with '-'.
class ParsedArgs {
 public:
  ParsedArgs(const Args& args, const std::set<std::string>& flags,
             const std::set<std::string>& valued, const std::set<std::string>& repeatable = {});

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool Has(const std::string& flag) const { return flags_.count(flag) != 0; }
  const std::vector<std::string>& Values(const std::string& option) const;
  std::string Value(const std::string& option, const std::string& fallback = "") const;
  const std::vector<std::string>& Positionals() const { return positionals_; }

 private:
  std::set<std::string> flags_;
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positionals_;
  std::string error_;
};

// Prints "velmora COMMAND: REASON", the command's synopsis and where its help
// is; returns kExitUsage.
int UsageError(const std::string& command, const std::string& reason);

// The arguments before "--", where "--help" asks for help.
Args OptionPart(const Args& args);

// The usual checks of a command's arguments: parse errors, the number of
// positionals (`names` names the missing ones), --quick with --deep. "" when fine.
std::string CheckArguments(const ParsedArgs& parsed, const std::vector<std::string>& names);

}  // namespace velmora::cli

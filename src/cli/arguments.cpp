#include "cli/arguments.h"

#include <cstdio>

#include "cli/help.h"

namespace velmora::cli {

ParsedArgs::ParsedArgs(const Args& args, const std::set<std::string>& flags,
                       const std::set<std::string>& valued,
                       const std::set<std::string>& repeatable) {
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      positionals_.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::string inline_value;
    bool has_inline = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
      has_inline = true;
    }
    if (flags.count(name) && !has_inline) {
      flags_.insert(name);
    } else if (valued.count(name)) {
      if (values_.count(name) && !repeatable.count(name)) {
        error_ = name + " is given more than once";
        return;
      }
      if (has_inline) {
        values_[name].push_back(inline_value);
      } else if (i + 1 < args.size()) {
        values_[name].push_back(args[++i]);
      } else {
        error_ = "option " + name + " needs a value";
        return;
      }
    } else {
      error_ = "unknown option '" + arg + "'";
      return;
    }
  }
}

const std::vector<std::string>& ParsedArgs::Values(const std::string& option) const {
  static const std::vector<std::string> kNone;
  auto it = values_.find(option);
  return it == values_.end() ? kNone : it->second;
}

std::string ParsedArgs::Value(const std::string& option, const std::string& fallback) const {
  const auto& values = Values(option);
  return values.empty() ? fallback : values.back();
}

Args OptionPart(const Args& args) {
  Args part;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    part.push_back(arg);
  }
  return part;
}

int UsageError(const std::string& command, const std::string& reason) {
  std::fprintf(stderr, "velmora %s: %s\n", command.c_str(), reason.c_str());
  if (const CommandHelp* help = FindHelp(command)) {
    std::fprintf(stderr, "usage: velmora %s\n", help->synopsis);
  }
  std::fprintf(stderr, "(velmora help %s shows every option)\n", command.c_str());
  return kExitUsage;
}

std::string CheckArguments(const ParsedArgs& parsed, const std::vector<std::string>& names) {
  if (!parsed.ok()) return parsed.error();
  const auto& positionals = parsed.Positionals();
  if (positionals.size() < names.size()) return names[positionals.size()] + " is required";
  if (positionals.size() > names.size()) {
    return "unexpected argument '" + positionals[names.size()] + "'";
  }
  if (parsed.Has("--quick") && parsed.Has("--deep")) return "--quick and --deep exclude each other";
  return {};
}

}  // namespace velmora::cli

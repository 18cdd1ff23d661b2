// Subcommands of vellumo-cli register themselves here; main() dispatches by name.
#pragma once

#include <string>
#include <vector>

struct TCliCommand {
  const char* name;
  const char* usage;  // one or more lines, shown by --help
  int (*run)(const std::vector<std::string>& args);
};

void RegisterCliCommand(const TCliCommand& command);
const std::vector<TCliCommand>& CliCommands();

// Prints "vellumo-cli: <message>" on stderr.
void CliError(const std::string& message);

#define VL_CLI_CONCAT2(a, b) a##b
#define VL_CLI_CONCAT(a, b) VL_CLI_CONCAT2(a, b)
#define VL_CLI_COMMAND(name, usage, fn) \
  static const bool VL_CLI_CONCAT(vl_cli_registered_, __LINE__) = (RegisterCliCommand({name, usage, fn}), true)

// vellumo-cli: batch work on Vellumo's core. `vellumo-cli --help` lists the subcommands.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/command.h"

namespace {
std::vector<TCliCommand>& Registry() {
  static std::vector<TCliCommand> commands;
  return commands;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: vellumo-cli COMMAND [ARGS]\n\ncommands:\n");
  for (const auto& c : CliCommands())
    std::fprintf(out, "%s\n", c.usage);
}
}  // namespace

void RegisterCliCommand(const TCliCommand& command) { Registry().push_back(command); }
const std::vector<TCliCommand>& CliCommands() { return Registry(); }
void CliError(const std::string& message) { std::cerr << "vellumo-cli: " << message << "\n"; }

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const auto& c : CliCommands()) {
    if (std::strcmp(c.name, argv[1]) == 0) {
      std::vector<std::string> args(argv + 2, argv + argc);
      try {
        return c.run(args);
      } catch (const std::exception& e) {
        CliError(e.what());
        return 1;
      }
    }
  }
  CliError(std::string("unknown command '") + argv[1] + "' (see --help)");
  return 2;
}

// vellumo-cli type FILE...: the detected file type of each file.
#include <cstdio>
#include <fstream>

#include "cli/command.h"
#include "imaging/io/filetypes.h"

namespace {

int RunType(const std::vector<std::string>& args) {
  if (args.empty()) {
    CliError("type: no files given");
    return 2;
  }
  int status = 0;
  for (const std::string& name : args) {
    std::ifstream probe(name, std::ios::binary);
    if (!probe || std::filesystem::is_directory(name)) {
      CliError("cannot read " + name);
      status = 1;
      continue;
    }
    std::int32_t id = DetectFileType(name, true);
    const FileTypeRecord* r = FileTypeById(id);
    std::printf("%s\t%d\t%s\n", name.c_str(), id, r ? r->name.c_str() : "unknown");
  }
  return status;
}

}  // namespace

VL_CLI_COMMAND("type", "  type FILE...                     FILE<TAB>ID<TAB>NAME: the detected file type", RunType);

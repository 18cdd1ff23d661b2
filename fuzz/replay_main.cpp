// Replays fuzz inputs without libFuzzer: every file named on the command line, or every file
// in every directory named, goes through LLVMFuzzerTestOneInput once. A missing directory is
// an empty corpus.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static void RunFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p = argv[i];
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& e : std::filesystem::recursive_directory_iterator(p, ec))
        if (e.is_regular_file())
          files.push_back(e.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) {
        RunFile(f);
        ++count;
      }
    } else if (std::filesystem::is_regular_file(p, ec)) {
      RunFile(p);
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}

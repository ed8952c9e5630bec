// Runs a fuzz target's entry point once on every file of the folders (or
// files) named on the command line, as an ordinary test: the seed corpus and
// the inputs that once failed. An empty or missing folder fails, so a lost
// corpus does not pass silently.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

int main(int argc, char** argv) {
  int total = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (std::filesystem::is_directory(argv[a], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[a])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
    } else if (std::filesystem::is_regular_file(argv[a], error)) {
      files.emplace_back(argv[a]);
    }
    if (files.empty()) {
      std::fprintf(stderr, "no inputs in %s\n", argv[a]);
      return 1;
    }
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      const std::string bytes = content.str();
      std::printf("%s (%zu bytes)\n", file.filename().c_str(), bytes.size());
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++total;
    }
  }
  std::printf("%d inputs passed\n", total);
  return 0;
}

// Replays committed fuzz inputs through a target without libFuzzer, so the
// ordinary builds run every corpus entry as a test. Arguments are files or
// folders of files; an argument that holds no input fails the run, so a
// missing corpus cannot pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& arg) {
  std::vector<std::filesystem::path> inputs;
  if (std::filesystem::is_directory(arg)) {
    for (const auto& entry : std::filesystem::directory_iterator(arg)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
  } else if (std::filesystem::is_regular_file(arg)) {
    inputs.push_back(arg);
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::size_t total = 0;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::filesystem::path> inputs = InputsOf(argv[i]);
    if (inputs.empty()) {
      std::fprintf(stderr, "%s: no inputs\n", argv[i]);
      return 1;
    }
    for (const auto& path : inputs) {
      std::ifstream in(path, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      // The data goes through a buffer of its own size, so ASan sees a read
      // past its end as libFuzzer would.
      std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
      std::fprintf(stderr, "%s\n", path.c_str());
      LLVMFuzzerTestOneInput(data.data(), data.size());
      ++total;
    }
  }
  std::printf("replayed %zu inputs\n", total);
  return 0;
}

// Runs a fuzz target over the files of a corpus, without a fuzzing engine:
// the corpus then runs as an ordinary regression test, in every build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size);

int main(int argc, char** argv)
{
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (auto const& entry : fs::directory_iterator(argv[i]))
        if (entry.is_regular_file())
          files.push_back(entry.path());
    } else {
      files.emplace_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER-OR-FILE...: no input files given\n", argv[0]);
    return 2;
  }
  std::sort(files.begin(), files.end());
  for (fs::path const& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 2;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<uint8_t const*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs ran cleanly\n", files.size());
  return 0;
}

// Runs a fuzz target's entry point over files instead of generated inputs,
// so a compiler without libFuzzer still runs the target's checks on its seed
// corpus as an ordinary test. Arguments are files or directories of files.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        if (!entry.is_regular_file()) continue;
        if (!Replay(entry.path())) return 1;
        ++replayed;
      }
    } else {
      if (!Replay(path)) return 1;
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  // A corpus that went missing must not pass as an empty success.
  return replayed > 0 ? 0 : 1;
}

// korvalen-load-image: loads a firmware file (Intel HEX or raw binary, by
// its extension) with the updater's own loaders and writes the image's valid
// bytes to an output file, so a load can be timed as a whole process and
// its result compared byte for byte with another tool's.
//
//   korvalen-load-image IN.hex|IN.bin OUT.bin
//
// Exit status 0 on success, 1 when the file does not load (the reason on
// stderr), 2 for a bad command line or an output that cannot be written.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "image/FirmwareImage.h"
#include "image/Loaders.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: korvalen-load-image IN.hex|IN.bin OUT.bin\n");
    return 2;
  }
  const std::filesystem::path in = argv[1];
  auto image = std::make_unique<korvalen::FirmwareImage>();
  const std::string extension = in.extension().string();
  const korvalen::LoadResult result = extension == ".bin"
                                          ? korvalen::LoadBinaryFile(in, *image)
                                          : korvalen::LoadHexFile(in, *image);
  if (!result.ok) {
    std::fprintf(stderr, "korvalen-load-image: %s\n", result.message.c_str());
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(image->bytes.data()), image->length);
  if (!out) {
    std::fprintf(stderr, "korvalen-load-image: cannot write %s\n", argv[2]);
    return 2;
  }
  return 0;
}

// The firmware file loaders on a full 256 KiB image: Intel HEX from a file,
// HEX text already in memory, and a raw binary file. Run by
// scripts/run-benchmarks.sh, which also times the same loads as whole
// processes beside a stock converter.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image/FirmwareImage.h"
#include "image/Loaders.h"

namespace korvalen {
namespace {

constexpr uint32_t kImageSize = 256 * 1024;
constexpr uint32_t kRecordBytes = 16;

void HexRecord(std::string& text, uint8_t type, uint16_t offset, const uint8_t* data,
               uint8_t count) {
  char field[16];
  uint8_t sum = count + (offset >> 8) + (offset & 0xFF) + type;
  std::snprintf(field, sizeof field, ":%02X%04X%02X", count, offset, type);
  text += field;
  for (uint8_t i = 0; i < count; ++i) {
    std::snprintf(field, sizeof field, "%02X", data[i]);
    text += field;
    sum += data[i];
  }
  std::snprintf(field, sizeof field, "%02X\r\n", static_cast<uint8_t>(-sum));
  text += field;
}

// 16-byte data records with an extended linear address record at every
// 64 KiB, then the end-of-file record.
std::string ToHex(const std::vector<uint8_t>& image) {
  std::string text;
  for (uint32_t at = 0; at < image.size(); at += kRecordBytes) {
    if (at % 0x10000 == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(at >> 24), static_cast<uint8_t>(at >> 16)};
      HexRecord(text, 0x04, 0, upper, 2);
    }
    HexRecord(text, 0x00, static_cast<uint16_t>(at), &image[at], kRecordBytes);
  }
  HexRecord(text, 0x01, 0, nullptr, 0);
  return text;
}

struct Files {
  Files() {
    std::vector<uint8_t> image(kImageSize);
    std::mt19937 random(256);
    for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
    hex_text = ToHex(image);
    dir = std::filesystem::temp_directory_path() / "korvalen-loader-bench";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "image.hex", std::ios::binary) << hex_text;
    std::ofstream(dir / "image.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.size());
  }
  std::string hex_text;
  std::filesystem::path dir;
};

const Files& TheFiles() {
  static const Files files;
  return files;
}

template <typename Load>
void RunLoad(benchmark::State& state, Load load, size_t file_bytes) {
  auto image = std::make_unique<FirmwareImage>();
  for (auto _ : state) {
    const LoadResult result = load(*image);
    if (!result.ok || image->length != kImageSize) {
      state.SkipWithError(result.message.c_str());
      return;
    }
    benchmark::DoNotOptimize(image->bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file_bytes));
}

void BM_LoadHexFile(benchmark::State& state) {
  const Files& files = TheFiles();
  RunLoad(state, [&](FirmwareImage& image) { return LoadHexFile(files.dir / "image.hex", image); },
          files.hex_text.size());
}

void BM_ParseHexText(benchmark::State& state) {
  const Files& files = TheFiles();
  RunLoad(state,
          [&](FirmwareImage& image) { return ParseHexText(files.hex_text, "image.hex", image); },
          files.hex_text.size());
}

void BM_LoadBinaryFile(benchmark::State& state) {
  const Files& files = TheFiles();
  RunLoad(state,
          [&](FirmwareImage& image) { return LoadBinaryFile(files.dir / "image.bin", image); },
          kImageSize);
}

BENCHMARK(BM_LoadHexFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseHexText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBinaryFile)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvalen

#include "image/OutputFile.h"

#include <cstdio>
#include <system_error>

#include "image/OutputFileParts.h"
#include "image/PathText.h"

namespace korvalen {

namespace output_parts {

namespace {
constexpr size_t kMaxNameStem = 200;
}  // namespace

std::filesystem::path FolderOf(const std::filesystem::path& target) {
  return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

std::filesystem::path FreshName(const std::filesystem::path& target, std::mt19937_64& random) {
  auto stem = target.filename().native();
  if (stem.size() > kMaxNameStem) stem.resize(kMaxNameStem);
  std::filesystem::path name = FolderOf(target) / ".";
  name += stem;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  name += suffix;
  return name;
}

std::mt19937_64 SeededRandom() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

}  // namespace output_parts

std::string OutputFailed(const std::filesystem::path& target, const std::string& why) {
  return "cannot write " + PathText(target) + ": " + why;
}

bool OutputMeetsFile(const std::filesystem::path& output, const std::filesystem::path& input) {
  namespace fs = std::filesystem;
  if (output.empty() || input.empty() || IsDirectOutput(output)) return false;
  std::error_code ec;
  if (fs::equivalent(output, input, ec) && !ec) return true;
  // Not both there yet: one name, however spelt ("out", "./out", "d/../out").
  auto name = [](const fs::path& path) {
    std::error_code ignored;
    fs::path full = fs::weakly_canonical(fs::absolute(path, ignored), ignored).lexically_normal();
    if (!full.has_filename()) full = full.parent_path();
    return full;
  };
  return name(output) == name(input);
}

}  // namespace korvalen

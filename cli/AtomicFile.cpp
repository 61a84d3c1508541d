#include "cli/AtomicFile.h"

#include "image/OutputFile.h"

namespace korvalen::cli {

std::string WriteFileAtomically(const std::filesystem::path& target, std::string_view text) {
  std::string why;
  const auto file = OutputFile::Open(target, &why);
  if (!file) return OutputFailed(target, why);
  // A file not put in place is removed as the output goes.
  if (!file->Write(text)) return OutputFailed(target, file->Reason());
  return file->Commit();
}

std::string CheckWritable(const std::filesystem::path& target) { return CheckOutput(target); }

}  // namespace korvalen::cli

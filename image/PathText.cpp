#include "image/PathText.h"

#include "image/Utf8Text.h"

namespace korvalen {

std::filesystem::path PathFromUtf8(std::string_view text) {
#ifdef _WIN32
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
  return std::filesystem::path(std::string(text));
#endif
}

std::string PathText(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return EscapeInvalidUtf8(std::string(text.begin(), text.end()));
}

}  // namespace korvalen

// File names as the command line and the reports carry them: UTF-8 text.
// Windows keeps names in UTF-16 and would read a narrow string in the
// system's legacy code page, which cannot hold every name; these two keep
// the text UTF-8 on every system.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace korvalen {

// The path a UTF-8 text names. Elsewhere than Windows the bytes are taken
// as they are, so a name in another encoding still opens.
std::filesystem::path PathFromUtf8(std::string_view text);

// The whole path as UTF-8 text, for messages; bytes that are not UTF-8
// are shown escaped ("\xFF").
std::string PathText(const std::filesystem::path& path);

}  // namespace korvalen

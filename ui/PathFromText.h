// Text shown or typed in the window becomes a file path here, and only here.
// Windows keeps file names in UTF-16 and reads a narrow string in the
// system's legacy code page, which cannot hold every name; Linux keeps them
// as bytes in the locale's encoding.
#pragma once

#include <QString>
#include <filesystem>

namespace korvalen {

// The path `text` names: from UTF-16 on Windows, through QFile::encodeName
// elsewhere. An empty text gives an empty path.
std::filesystem::path PathFromText(const QString& text);

// The path as text to show or to hand back to PathFromText unchanged.
QString TextFromPath(const std::filesystem::path& path);

}  // namespace korvalen

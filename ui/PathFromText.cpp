#include "ui/PathFromText.h"

#include <QFile>

namespace korvalen {

std::filesystem::path PathFromText(const QString& text) {
#ifdef _WIN32
  return std::filesystem::path(text.toStdWString());
#else
  return std::filesystem::path(QFile::encodeName(text).toStdString());
#endif
}

QString TextFromPath(const std::filesystem::path& path) {
#ifdef _WIN32
  return QString::fromStdWString(path.native());
#else
  return QFile::decodeName(QByteArray::fromStdString(path.native()));
#endif
}

}  // namespace korvalen

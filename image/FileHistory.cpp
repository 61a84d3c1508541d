#include "image/FileHistory.h"

#include <algorithm>

namespace korvalen {

bool AddToFileHistory(std::vector<std::string>& history, std::string_view path) {
  if (path.empty()) return false;
  if (std::find(history.begin(), history.end(), path) != history.end()) return false;
  history.emplace_back(path);
  return true;
}

}  // namespace korvalen

// The history of loaded firmware file paths shown in the ISP page's combo box.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvalen {

// Appends path at the end unless the list already holds it (exact text
// comparison), so each path appears once and keeps the place of its first
// load. An empty path is never added. Returns true when the list grew; either
// way the caller then shows path as the combo box's text.
bool AddToFileHistory(std::vector<std::string>& history, std::string_view path);

}  // namespace korvalen

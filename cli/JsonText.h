// The one way the command line turns a JSON document into text. Names are
// escaped where they enter a report; should a byte that is not UTF-8 still
// reach a document, it is replaced rather than aborting the program after
// the device was written.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace korvalen::cli {

inline std::string JsonText(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace korvalen::cli

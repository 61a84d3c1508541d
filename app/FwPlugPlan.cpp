#include "app/FwPlugPlan.h"

#include <cmath>
#include <cstdlib>
#include <set>

namespace korvalen::fwsim {
namespace {

// A line runs for days at most: times past this are typing errors.
constexpr double kLongestSeconds = 7 * 24 * 3600;
// What a device's serial number string descriptor holds.
constexpr size_t kLongestSerial = 31;
constexpr int kHighestPort = 255;

// Seconds as "2", "0.5" or "1.25": digits and at most one point.
std::optional<uint64_t> ParseSeconds(const std::string& text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  int points = 0;
  for (char c : text) {
    if (c == '.') {
      ++points;
    } else if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  if (points > 1 || text == ".") return std::nullopt;
  const double seconds = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(seconds) || seconds < 0 || seconds > kLongestSeconds) return std::nullopt;
  return static_cast<uint64_t>(std::llround(seconds * 1e6));
}

}  // namespace

std::optional<PlugPlan> ParsePlugPlan(const std::string& text, const std::string& default_model,
                                      std::string* error) {
  PlugPlan plan;
  plan.model = default_model;
  std::set<std::string> seen;
  bool at_given = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string field = text.substr(start, end - start);
    start = end + 1;
    const size_t equals = field.find('=');
    if (field.empty() || equals == std::string::npos || equals == 0) {
      *error = "\"" + field + "\" is not KEY=VALUE (at=, model=, stay=, fault=, serial=, port=)";
      return std::nullopt;
    }
    const std::string key = field.substr(0, equals);
    const std::string value = field.substr(equals + 1);
    if (key != "fault" && !seen.insert(key).second) {
      *error = key + "= is given twice";
      return std::nullopt;
    }
    if (value.empty() && key != "serial") {
      *error = key + "= has no value";
      return std::nullopt;
    }
    if (key == "at" || key == "stay") {
      const auto micros = ParseSeconds(value);
      if (!micros || (key == "stay" && *micros == 0)) {
        *error = key + "=" + value + " is not a time in seconds (such as 2 or 0.5" +
                 (key == "stay" ? ", more than 0" : "") + ", at most a week)";
        return std::nullopt;
      }
      if (key == "at") {
        plan.at_us = *micros;
        at_given = true;
      } else {
        plan.stay_us = *micros;
      }
    } else if (key == "model") {
      plan.model = value;
    } else if (key == "fault") {
      plan.faults.push_back(value);
    } else if (key == "serial") {
      if (value.size() > kLongestSerial) {
        *error = "serial= is longer than " + std::to_string(kLongestSerial) + " bytes";
        return std::nullopt;
      }
      for (char c : value) {
        if (c < 0x20 || c > 0x7E) {
          *error = "serial= holds a byte that is not printable ASCII";
          return std::nullopt;
        }
      }
      plan.serial = value;
    } else if (key == "port") {
      char* stop = nullptr;
      const long port = std::strtol(value.c_str(), &stop, 10);
      if (*stop != '\0' || value.size() > 3 || port < 1 || port > kHighestPort) {
        *error = "port=" + value + " is not a port from 1 to " + std::to_string(kHighestPort);
        return std::nullopt;
      }
      plan.port = static_cast<int>(port);
    } else {
      *error = key + "= is not a plug field (at=, model=, stay=, fault=, serial=, port=)";
      return std::nullopt;
    }
    if (end == text.size()) break;
  }
  if (!at_given) {
    *error = "at= is missing: when the device is plugged in, in seconds";
    return std::nullopt;
  }
  return plan;
}

}  // namespace korvalen::fwsim

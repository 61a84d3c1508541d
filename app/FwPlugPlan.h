// One --plug text: when a simulated device arrives, which it is, how long it
// stays and what is wrong with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvalen::fwsim {

struct PlugPlan {
  uint64_t at_us = 0;               // arrival after the line's start
  std::string model;                // as --simulate= takes it
  std::optional<uint64_t> stay_us;  // nullopt: unplugged 1 s after its verdict
  std::vector<std::string> faults;  // --fault texts
  std::string serial;               // the USB serial number it reports
  int port = 0;                     // 0: the plug's own number
};

// Parses "at=S,model=M,stay=S,fault=F,serial=TEXT,port=N"; default_model
// when model= is left out. nullopt with *error set (without the text
// itself) when malformed.
std::optional<PlugPlan> ParsePlugPlan(const std::string& text, const std::string& default_model,
                                      std::string* error);

}  // namespace korvalen::fwsim

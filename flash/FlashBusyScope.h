// Marks a FlashOperations object busy for the lifetime of a scope, so button
// bodies reached through a pump leave the running operation alone.
#pragma once

#include "flash/FlashOperations.h"

namespace korvalen {

class FlashOperations::BusyScope {
 public:
  explicit BusyScope(FlashOperations& operations) : operations_(operations) {
    ++operations_.busy_depth_;
  }
  ~BusyScope() { --operations_.busy_depth_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  FlashOperations& operations_;
};

}  // namespace korvalen

// A capture read back: the devices its notes describe and the control
// transfers, each with its submission and completion, in the order they
// were submitted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/Driver.h"
#include "link/RequestRecord.h"

namespace korvalen::record {

struct RecordedInterface {
  std::string path;
  Guid interface_class{};
  uint16_t bus = 0;
  uint8_t device = 0;
};

struct RecordedTransfer {
  size_t index = 0;             // 1-based, in submission order
  uint64_t submit_frame = 0;    // 1-based frame numbers, as capture tools count
  uint64_t complete_frame = 0;  // 0 when the capture ends before it
  uint16_t bus = 0;
  uint8_t device = 0;
  SetupPacket setup;
  uint16_t length = 0;
  std::vector<uint8_t> data_out;
  std::vector<uint8_t> data_in;
  bool ok = false;
  uint64_t submit_micros = 0;
  uint64_t complete_micros = 0;
};

struct Recording {
  std::vector<RecordedInterface> interfaces;
  std::vector<RecordedTransfer> transfers;
};

// Reads a capture. nullopt with *error set when the file cannot be read, is
// not a usbmon capture, or describes no device. Records of devices without a
// note (other traffic of a capture taken with other tools) are left out.
std::optional<Recording> ReadRecording(const std::string& path, std::string* error);

// "IN  c3 0b 0000 00a4 len 1 -> 5a" style text of a request and what came
// back, for messages.
std::string DescribeRequest(const SetupPacket& setup, uint16_t length,
                            const std::vector<uint8_t>& data_out);

}  // namespace korvalen::record

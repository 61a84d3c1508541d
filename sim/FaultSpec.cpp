#include "sim/FaultSpec.h"

#include <charconv>
#include <cstdio>

namespace korvalen::sim {
namespace {

constexpr std::string_view kUsage =
    "expected reject:N, vanish:N, stuck-busy, weak:ADDR:K, mailbox-silent, flip:ADDR:MASK "
    "or i2c-nak:ADDR";
constexpr uint64_t kMaxFlashAddress = 0xFFFFFF;  // three address bytes

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// A decimal or 0x-hexadecimal number no larger than max.
std::optional<uint64_t> ReadNumber(std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// Parses one fault into *fault, or returns what is wrong with it.
std::string ParseOne(std::string_view text, FaultSpec* fault) {
  const std::string quoted = "fault '" + std::string(text) + "': ";
  const std::vector<std::string_view> fields = Split(text, ':');
  const std::string_view kind = fields[0];
  const auto want_fields = [&](size_t count) { return fields.size() == count; };
  const auto number = [&](size_t i, uint64_t min, uint64_t max, const char* what,
                          uint64_t* value) -> std::string {
    const auto read = ReadNumber(fields[i], max);
    if (!read || *read < min) {
      char range[64];
      std::snprintf(range, sizeof range, " (%llu to %llu)", static_cast<unsigned long long>(min),
                    static_cast<unsigned long long>(max));
      return quoted + "'" + std::string(fields[i]) + "' is not a valid " + what + range;
    }
    *value = *read;
    return "";
  };
  uint64_t a = 0, b = 0;
  std::string problem;
  if (kind == "reject" || kind == "vanish") {
    if (!want_fields(2))
      return quoted + "needs one request number, e.g. " + std::string(kind) + ":5";
    if (!(problem = number(1, 1, UINT64_MAX, "request number", &a)).empty()) return problem;
    fault->kind = kind == "reject" ? FaultSpec::Kind::kReject : FaultSpec::Kind::kVanish;
    fault->request = a;
  } else if (kind == "stuck-busy" || kind == "mailbox-silent") {
    if (!want_fields(1)) return quoted + "takes no arguments";
    fault->kind =
        kind == "stuck-busy" ? FaultSpec::Kind::kStuckBusy : FaultSpec::Kind::kMailboxSilent;
  } else if (kind == "weak") {
    if (!want_fields(3)) return quoted + "needs an address and a count, e.g. weak:0x100:2";
    if (!(problem = number(1, 0, kMaxFlashAddress, "flash address", &a)).empty()) return problem;
    if (!(problem = number(2, 1, UINT32_MAX, "attempt count", &b)).empty()) return problem;
    fault->kind = FaultSpec::Kind::kWeakCell;
    fault->address = static_cast<uint32_t>(a);
    fault->count = static_cast<uint32_t>(b);
  } else if (kind == "flip") {
    if (!want_fields(3)) return quoted + "needs an address and a bit mask, e.g. flip:0x100:0x01";
    if (!(problem = number(1, 0, kMaxFlashAddress, "flash address", &a)).empty()) return problem;
    if (!(problem = number(2, 1, 0xFF, "bit mask", &b)).empty()) return problem;
    fault->kind = FaultSpec::Kind::kReadFlip;
    fault->address = static_cast<uint32_t>(a);
    fault->count = static_cast<uint32_t>(b);
  } else if (kind == "i2c-nak") {
    if (!want_fields(2)) return quoted + "needs an 8-bit slave address, e.g. i2c-nak:0x20";
    if (!(problem = number(1, 0, 0xFF, "I2C address", &a)).empty()) return problem;
    fault->kind = FaultSpec::Kind::kI2cNak;
    fault->address = static_cast<uint32_t>(a);
  } else {
    return quoted + "unknown fault; " + std::string(kUsage);
  }
  return "";
}

}  // namespace

FaultSpecParse ParseFaultSpec(std::string_view text) {
  FaultSpecParse result;
  if (Trim(text).empty()) {
    result.error = "empty fault text; " + std::string(kUsage);
    return result;
  }
  for (std::string_view part : Split(text, ',')) {
    part = Trim(part);
    FaultSpec fault;
    if (part.empty()) {
      result.error = "empty fault in '" + std::string(text) + "'";
    } else {
      result.error = ParseOne(part, &fault);
    }
    if (!result.error.empty()) {
      result.specs.clear();
      return result;
    }
    result.specs.push_back(fault);
  }
  return result;
}

std::string FormatFaultSpec(const FaultSpec& fault) {
  char text[64];
  switch (fault.kind) {
    case FaultSpec::Kind::kReject:
      std::snprintf(text, sizeof text, "reject:%llu",
                    static_cast<unsigned long long>(fault.request));
      break;
    case FaultSpec::Kind::kVanish:
      std::snprintf(text, sizeof text, "vanish:%llu",
                    static_cast<unsigned long long>(fault.request));
      break;
    case FaultSpec::Kind::kStuckBusy:
      return "stuck-busy";
    case FaultSpec::Kind::kMailboxSilent:
      return "mailbox-silent";
    case FaultSpec::Kind::kWeakCell:
      std::snprintf(text, sizeof text, "weak:0x%06X:%u", fault.address, fault.count);
      break;
    case FaultSpec::Kind::kReadFlip:
      std::snprintf(text, sizeof text, "flip:0x%06X:0x%02X", fault.address, fault.count);
      break;
    case FaultSpec::Kind::kI2cNak:
      std::snprintf(text, sizeof text, "i2c-nak:0x%02X", fault.address);
      break;
  }
  return text;
}

void ApplyFaultSpec(const FaultSpec& fault, SimDevice& device) {
  switch (fault.kind) {
    case FaultSpec::Kind::kReject:
      // Several rejects all apply: the last is also the single one.
      device.faults().reject_request = fault.request;
      device.faults().reject_requests.insert(fault.request);
      break;
    case FaultSpec::Kind::kVanish:
      // Gone from the first of several.
      if (!device.faults().vanish_from_request || fault.request < *device.faults().vanish_from_request)
        device.faults().vanish_from_request = fault.request;
      break;
    case FaultSpec::Kind::kStuckBusy:
      device.flash().SetStuckBusy(true);
      break;
    case FaultSpec::Kind::kMailboxSilent:
      device.faults().mailbox_silent = true;
      break;
    case FaultSpec::Kind::kWeakCell:
      device.flash().AddWeakCell(fault.address, fault.count);
      break;
    case FaultSpec::Kind::kReadFlip:
      device.flash().AddReadFlip(fault.address, static_cast<uint8_t>(fault.count));
      break;
    case FaultSpec::Kind::kI2cNak:
      if (SimI2cDevice* slave = device.i2c().Device(static_cast<uint8_t>(fault.address))) {
        slave->NeverAcknowledge();
      }
      break;
  }
}

void ApplyFaultSpecs(const std::vector<FaultSpec>& specs, SimDevice& device) {
  for (const FaultSpec& fault : specs) ApplyFaultSpec(fault, device);
}

}  // namespace korvalen::sim

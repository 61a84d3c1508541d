#include "station/RunRecord.h"

#include <array>
#include <random>

namespace korvalen::station {
namespace {

struct ResultName {
  RunResult result;
  std::string_view text;
};
// The texts are what the store keeps: never reword one.
constexpr std::array<ResultName, 7> kResultNames = {{
    {RunResult::kPassed, "passed"},
    {RunResult::kFailed, "failed"},
    {RunResult::kStopped, "stopped"},
    {RunResult::kGone, "gone"},
    {RunResult::kCannotOpen, "cannot-open"},
    {RunResult::kModelUnknown, "model-unknown"},
    {RunResult::kNoFile, "no-file"},
}};

struct StateName {
  SerialState state;
  std::string_view text;
};
constexpr std::array<StateName, 6> kStateNames = {{
    {SerialState::kNone, "none"},
    {SerialState::kPending, "pending"},
    {SerialState::kDelivered, "delivered"},
    {SerialState::kVoid, "void"},
    {SerialState::kVerified, "verified"},
    {SerialState::kKept, "kept"},
}};

}  // namespace

std::string_view RunResultText(RunResult result) {
  for (const ResultName& name : kResultNames)
    if (name.result == result) return name.text;
  return "unknown";
}

std::optional<RunResult> RunResultFromText(std::string_view text) {
  for (const ResultName& name : kResultNames)
    if (name.text == text) return name.result;
  return std::nullopt;
}

std::string_view SerialStateText(SerialState state) {
  for (const StateName& name : kStateNames)
    if (name.state == state) return name.text;
  return "unknown";
}

std::optional<SerialState> SerialStateFromText(std::string_view text) {
  for (const StateName& name : kStateNames)
    if (name.text == text) return name.state;
  return std::nullopt;
}

std::string NewRecordId() {
  // Each station makes its own ids with no coordination, so they must be
  // random enough never to meet: 128 bits from the system's source.
  thread_local std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  id.reserve(32);
  for (int word = 0; word < 4; ++word) {
    const uint32_t bits = device();
    for (int shift = 28; shift >= 0; shift -= 4) id += kHex[(bits >> shift) & 0xF];
  }
  return id;
}

}  // namespace korvalen::station

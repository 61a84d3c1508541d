// The stand-in driver's checks: every record the link builds passes them,
// and each malformed variant is refused, so a stand-in that carried a wrong
// record could not hide a fault of the link.
#include "StandinRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "StandinProtocol.h"
#include "link/RequestRecord.h"

namespace korvalen {
namespace {

const char* Check(unsigned int channel, uint32_t code, const std::vector<uint8_t>& in,
                  const std::vector<uint8_t>& out) {
  return standin_check_request(
      channel, code, in.empty() ? nullptr : in.data(), static_cast<unsigned int>(in.size()),
      out.empty() ? nullptr : out.data(), static_cast<unsigned int>(out.size()));
}

constexpr SetupPacket kWriteRegister{kVendorOut, 0x90, 0, 0x30};
constexpr SetupPacket kReadRegister{kVendorIn, 0x91, 0, 0xA4};

TEST(StandinRecords, AcceptsTheSetupRecordsTheLinkBuilds) {
  EXPECT_EQ(Check(STANDIN_CHANNEL_DEVICE_INTERFACE, SetupRecordIoctl(kVendorOut),
                  BuildSetupRecord(kWriteRegister, 0), {0x5A}),
            nullptr);
  EXPECT_EQ(Check(STANDIN_CHANNEL_DEVICE_INTERFACE, SetupRecordIoctl(kVendorIn),
                  BuildSetupRecord(kReadRegister, 0), std::vector<uint8_t>(64)),
            nullptr);
  // A request without data, and the presence test's descriptor request.
  EXPECT_EQ(Check(STANDIN_CHANNEL_DEVICE_INTERFACE, 0x222429,
                  BuildSetupRecord({kVendorOut, 0x84, 0xB6A3, 0xF8E2}, 0), {}),
            nullptr);
  EXPECT_EQ(Check(STANDIN_CHANNEL_DEVICE_INTERFACE, 0x22242E,
                  BuildSetupRecord({0x80, 6, 0x0100, 1}, 18), std::vector<uint8_t>(18)),
            nullptr);
}

TEST(StandinRecords, RefusesMalformedSetupRecords) {
  const auto good = BuildSetupRecord(kReadRegister, 0);
  const std::vector<uint8_t> one(1);
  auto with = [&](size_t at, uint8_t value) {
    auto record = good;
    record[at] = value;
    return record;
  };
  auto shorter = good;
  shorter.pop_back();
  auto longer = good;
  longer.push_back(0);
  const unsigned int channel = STANDIN_CHANNEL_DEVICE_INTERFACE;
  EXPECT_NE(Check(channel, 0x22242E, shorter, one), nullptr);
  EXPECT_NE(Check(channel, 0x22242E, longer, one), nullptr);
  EXPECT_NE(Check(channel, 0x22242E, with(3, 1), one), nullptr);
  EXPECT_NE(Check(channel, 0x22242E, with(12, 1), one), nullptr);
  EXPECT_NE(Check(channel, 0x22242E, with(23, 1), one), nullptr);
  EXPECT_NE(Check(channel, 0x222429, good, one), nullptr) << "IN request on the OUT code";
  EXPECT_NE(Check(channel, 0x22242E, BuildSetupRecord(kWriteRegister, 0), one), nullptr);
  EXPECT_NE(Check(channel, 0x22242E, with(10, 1), one), nullptr)
      << "setup length in vendor request";
  EXPECT_NE(Check(channel, 0x22242E, BuildSetupRecord({0x80, 6, 0x0100, 1}, 18),
                  std::vector<uint8_t>(64)),
            nullptr);
  EXPECT_NE(Check(channel, 0x2F0003, good, one), nullptr) << "the audio driver's code";
  EXPECT_NE(Check(channel, 0x22242E, good, std::vector<uint8_t>(0x10000)), nullptr);
}

TEST(StandinRecords, AcceptsThePropertyBlocksTheLinkBuilds) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Check(STANDIN_CHANNEL_AUDIO, kIoctlKsProperty, BuildPropertyBlock(kWriteRegister, data),
                  data),
            nullptr);
  EXPECT_EQ(
      Check(STANDIN_CHANNEL_AUDIO, kIoctlKsProperty,
            BuildPropertyBlock(kReadRegister, std::vector<uint8_t>(1)), std::vector<uint8_t>(1)),
      nullptr);
  EXPECT_EQ(Check(STANDIN_CHANNEL_AUDIO, kIoctlKsProperty,
                  BuildPropertyBlock({kVendorOut, 0x84, 0xB6A3, 0xF8E2}, {}), {}),
            nullptr);
  EXPECT_EQ(Check(STANDIN_CHANNEL_AUDIO, kIoctlKsProperty, BuildPresenceQuery(), {}), nullptr);
}

TEST(StandinRecords, RefusesMalformedPropertyBlocks) {
  const std::vector<uint8_t> data = {0x11, 0x22};
  const auto good = BuildPropertyBlock(kWriteRegister, data);
  auto with = [&](size_t at, uint8_t value) {
    auto block = good;
    block[at] = value;
    return block;
  };
  const unsigned int channel = STANDIN_CHANNEL_AUDIO;
  auto cut = good;
  cut.resize(40 + data.size());
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(15, 0), data), nullptr) << "property set";
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(16, 6), data), nullptr) << "property id";
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(20, 3), data), nullptr) << "flags";
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(24, kVendorOut), data), nullptr);
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(33, 1), data), nullptr);
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(36, 3), data), nullptr) << "length field";
  EXPECT_NE(Check(channel, kIoctlKsProperty, cut, data), nullptr) << "length + 40 bytes";
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(40, 0x12), data), nullptr) << "data copy";
  EXPECT_NE(Check(channel, kIoctlKsProperty, with(42, 1), data), nullptr) << "after the data";
  EXPECT_NE(Check(channel, kIoctlKsProperty, good, {0x11, 0x22, 0}), nullptr) << "output size";
  EXPECT_NE(Check(channel, 0x22242E, good, data), nullptr) << "the other driver's code";
  // An empty transfer's block is 48 bytes, not 47.
  auto empty = BuildPropertyBlock(kWriteRegister, {});
  empty.pop_back();
  EXPECT_NE(Check(channel, kIoctlKsProperty, empty, {}), nullptr);
  // The presence query: the bare header with the set-support flag only.
  auto presence = BuildPresenceQuery();
  EXPECT_NE(Check(channel, kIoctlKsProperty, presence, {0}), nullptr);
  presence[20] = 1;
  EXPECT_NE(Check(channel, kIoctlKsProperty, presence, {}), nullptr);
}

}  // namespace
}  // namespace korvalen

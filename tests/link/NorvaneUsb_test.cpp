// The link's discovery and its two request envelopes, pinned byte for byte
// through the recording driver.
#include "link/NorvaneUsb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/RequestRecord.h"
#include "tests/support/RecordingDriver.h"

namespace korvalen {
namespace {

using testing::RecordedCall;
using testing::RecordingDriver;
using Bytes = std::vector<uint8_t>;

constexpr char kModelPath[] = "\\\\?\\usb#vid_5e1a&pid_f072#5&1a2b3c&0&4#{50894fa4-9206}";
constexpr char kUpdatePath[] = "\\\\?\\usb#vid_0c3d&pid_6000#6&aa&0&1#{a5dcbf10-6530}";

Bytes PropertySetBytes() {
  const auto b = kVendorPropertySet.Bytes();
  return Bytes(b.begin(), b.end());
}

class NorvaneUsbTest : public ::testing::Test {
 protected:
  NorvaneUsbTest() : link_(driver_) {}

  // Finds the model on the audio-driver channel and opens it.
  void OpenModel() {
    driver_.SetInterfaces(kAudioDriverInterfaceClass, {kModelPath});
    link_.SetDriverKind(kAudioDriverChannel);
    ASSERT_TRUE(link_.SetDeviceId("vid_5e1a&pid_f072"));
    link_.Probe();
    ASSERT_TRUE(link_.Open());
    driver_.ClearCalls();
  }

  void OpenUpdateDevice() {
    driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
    link_.SetDriverKind(kDeviceInterfaceChannel);
    link_.Probe();
    ASSERT_TRUE(link_.Open());
    driver_.ClearCalls();
  }

  RecordedCall OnlyIoControl() {
    const auto calls = driver_.CallsOf(RecordedCall::Kind::kIoControl);
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? RecordedCall{} : calls.front();
  }

  RecordingDriver driver_;
  NorvaneUsb link_;
};

TEST_F(NorvaneUsbTest, StartsWithTheLinksDefaults) {
  EXPECT_FALSE(link_.IsPresent());
  EXPECT_EQ(link_.DriverKind(), kDeviceInterfaceChannel);
  EXPECT_STREQ(link_.DeviceId(), "vid_0c3d&pid_6000");
  EXPECT_STREQ(link_.DevicePath(), "");
  EXPECT_FALSE(link_.HasHandle());
}

TEST_F(NorvaneUsbTest, TransferWithoutHandleFailsWithoutAnySystemCall) {
  uint8_t value = 0x42;
  EXPECT_FALSE(link_.ControlTransfer(kVendorIn, 0x91, 0, 164, &value, 1));
  EXPECT_TRUE(driver_.calls.empty());
  EXPECT_EQ(value, 0x42);
  EXPECT_FALSE(link_.Open()) << "no path has been found yet";
  EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(NorvaneUsbTest, DeviceInterfaceRecordForOutAndIn) {
  OpenUpdateDevice();
  uint8_t value = 0x5A;
  ASSERT_TRUE(link_.ControlTransfer(kVendorOut, 0x90, 0, 0x0190, &value, 1));
  auto call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x222429u);
  EXPECT_EQ(call.in, (Bytes{0, 0, 0, 0, 0x43, 0x90, 0, 0, 0x90, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0}));
  EXPECT_EQ(call.out_before, Bytes{0x5A});

  driver_.ClearCalls();
  driver_.replies.push_back({true, {0x17}});
  uint8_t answer = 0;
  ASSERT_TRUE(link_.ControlTransfer(kVendorIn, 0x91, 0xB6A3, 0xF8E2, &answer, 1));
  call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x22242Eu);
  EXPECT_EQ(call.in, (Bytes{0, 0, 0, 0, 0xC3, 0x91, 0xA3, 0xB6, 0xE2, 0xF8, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(answer, 0x17);
}

TEST_F(NorvaneUsbTest, DeviceInterfaceZeroLengthRequestHasEmptyDataBlock) {
  OpenUpdateDevice();
  ASSERT_TRUE(link_.ControlTransfer(kVendorOut, 0x84, 0xB6A3, 0xF8E2, nullptr, 0));
  const auto call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x222429u);
  EXPECT_EQ(call.in.size(), 24u);
  EXPECT_TRUE(call.out_before.empty());
}

TEST_F(NorvaneUsbTest, AudioDriverBlockForZeroLengthRequest) {
  OpenModel();
  ASSERT_TRUE(link_.ControlTransfer(kVendorOut, 0x85, 0x91E7, 0x7F03, nullptr, 0));
  const auto call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x2F0003u);
  Bytes expected = PropertySetBytes();
  expected.resize(48, 0);
  expected[16] = 7;     // property id
  expected[20] = 2;     // set
  expected[24] = 0x20;  // fixed byte in place of the request type
  expected[25] = 0x85;
  expected[26] = 0xE7;
  expected[27] = 0x91;
  expected[28] = 0x03;
  expected[29] = 0x7F;
  EXPECT_EQ(call.in, expected);
  EXPECT_TRUE(call.out_before.empty());
}

TEST_F(NorvaneUsbTest, AudioDriverBlockForOneByteInCopiesTheCallersByte) {
  OpenModel();
  driver_.replies.push_back({true, {0xEE}});
  uint8_t value = 0x33;
  ASSERT_TRUE(link_.ControlTransfer(kVendorIn, 0x91, 0, 144, &value, 1));
  const auto call = OnlyIoControl();
  ASSERT_EQ(call.in.size(), 48u);
  EXPECT_EQ(call.in[20], 1) << "get";
  EXPECT_EQ(call.in[24], 0x20);
  EXPECT_EQ(call.in[25], 0x91);
  EXPECT_EQ(call.in[28], 144);
  EXPECT_EQ(call.in[36], 1) << "data length";
  EXPECT_EQ(call.in[40], 0x33) << "the caller's block travels in both directions";
  EXPECT_EQ(call.out_before, Bytes{0x33});
  EXPECT_EQ(value, 0xEE);
}

TEST_F(NorvaneUsbTest, AudioDriverBlockIsLengthPlus47) {
  OpenModel();
  uint8_t data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(link_.ControlTransfer(kVendorOut, 0x80, 0, 1, data, 64));
  const auto call = OnlyIoControl();
  ASSERT_EQ(call.in.size(), 64u + 47u);
  EXPECT_EQ(call.in[36], 64);
  EXPECT_TRUE(std::equal(data, data + 64, call.in.begin() + 40));
  EXPECT_TRUE(std::all_of(call.in.begin() + 104, call.in.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(NorvaneUsbTest, RejectedRequestReportsFalse) {
  OpenModel();
  driver_.replies.push_back({false, {0x99}});
  uint8_t value = 0;
  EXPECT_FALSE(link_.ControlTransfer(kVendorIn, 0x91, 0, 1, &value, 1));
}

TEST_F(NorvaneUsbTest, ProbeTestRequestOfEachChannel) {
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
  EXPECT_TRUE(link_.Probe());
  auto call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x22242Eu);
  EXPECT_EQ(call.in, (Bytes{0, 0, 0, 0, 0x80, 6, 0x00, 0x01, 1, 0, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0}));
  EXPECT_EQ(call.out_before.size(), 18u);

  driver_.ClearCalls();
  driver_.SetInterfaces(kAudioDriverInterfaceClass, {kModelPath});
  link_.SetDriverKind(kAudioDriverChannel);
  ASSERT_TRUE(link_.SetDeviceId("vid_5e1a&pid_f072"));
  EXPECT_TRUE(link_.Probe());
  call = OnlyIoControl();
  EXPECT_EQ(call.code, 0x2F0003u);
  Bytes expected = PropertySetBytes();
  expected.resize(24, 0);
  expected[21] = 0x01;  // flags 0x100: set-support query
  EXPECT_EQ(call.in, expected);
  EXPECT_TRUE(call.out_before.empty());
  EXPECT_EQ(driver_.OpenHandles(), 0u) << "the test request's handle is closed again";
}

TEST_F(NorvaneUsbTest, ProbeKeepsTheLaterOfTwoMatchesAndTestsBoth) {
  const std::string first = "\\\\?\\usb#vid_0c3d&pid_6000#1#{a5dcbf10}";
  const std::string second = "\\\\?\\usb#vid_0c3d&pid_6000#2#{a5dcbf10}";
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {first, "\\\\?\\usb#vid_1111&pid_2222#3", second});
  driver_.replies.push_back({true, {}});
  driver_.replies.push_back({false, {}});
  EXPECT_FALSE(link_.Probe()) << "the result is the last test request's";
  EXPECT_TRUE(link_.IsPresent());
  EXPECT_EQ(link_.DevicePath(), second);
  const auto opens = driver_.CallsOf(RecordedCall::Kind::kOpen);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].path, first);
  EXPECT_EQ(opens[1].path, second);
  EXPECT_EQ(driver_.CallsOf(RecordedCall::Kind::kIoControl).size(), 2u);
}

TEST_F(NorvaneUsbTest, MatchingIsCaseSensitive) {
  driver_.SetInterfaces(kAudioDriverInterfaceClass, {"\\\\?\\USB#VID_5E1A&PID_F072#5#{50894fa4}"});
  link_.SetDriverKind(kAudioDriverChannel);
  ASSERT_TRUE(link_.SetDeviceId("vid_5e1a&pid_f072"));
  EXPECT_FALSE(link_.Probe());
  EXPECT_FALSE(link_.Scan());
  EXPECT_FALSE(link_.IsPresent());
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kOpen).empty());
}

TEST_F(NorvaneUsbTest, ProbeNeverClearsPresentAndKeepsItWhenTheTestOpenFails) {
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
  driver_.unopenable.insert(kUpdatePath);
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent()) << "the match alone makes the device present";

  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {});
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent());
  driver_.interfaces.clear();  // the enumeration itself fails
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent());
}

TEST_F(NorvaneUsbTest, ScanFollowsTheDeviceWithoutSendingAnything) {
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
  EXPECT_TRUE(link_.Scan());
  EXPECT_TRUE(link_.IsPresent());
  EXPECT_STREQ(link_.DevicePath(), "") << "Scan copies no path";
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {});
  EXPECT_FALSE(link_.Scan());
  EXPECT_FALSE(link_.IsPresent());
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
  link_.Scan();
  driver_.interfaces.clear();
  EXPECT_FALSE(link_.Scan()) << "a failed enumeration counts as not found";
  EXPECT_FALSE(link_.IsPresent());
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kIoControl).empty());
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kOpen).empty());
}

TEST_F(NorvaneUsbTest, OpenTwiceHoldsOneHandleAndDestructionClosesIt) {
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {kUpdatePath});
  {
    NorvaneUsb link(driver_);
    link.Probe();
    ASSERT_TRUE(link.Open());
    ASSERT_TRUE(link.Open());
    EXPECT_EQ(driver_.OpenHandles(), 1u);
    link.Close();
    link.Close();
    EXPECT_EQ(driver_.OpenHandles(), 0u);
    ASSERT_TRUE(link.Open());
  }
  EXPECT_EQ(driver_.OpenHandles(), 0u);
}

TEST_F(NorvaneUsbTest, OverlongInputsAreRefused) {
  const std::string id49(49, 'a');
  EXPECT_TRUE(link_.SetDeviceId(id49));
  EXPECT_FALSE(link_.SetDeviceId(std::string(50, 'b')));
  EXPECT_EQ(link_.DeviceId(), id49) << "a refused id leaves the old one";

  ASSERT_TRUE(link_.SetDeviceId("vid_0c3d&pid_6000"));
  const std::string fits = "\\\\?\\usb#vid_0c3d&pid_6000#" + std::string(511 - 26, 'x');
  const std::string too_long = fits + "y";
  ASSERT_EQ(fits.size(), 511u);
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {fits, too_long});
  link_.Probe();
  EXPECT_EQ(link_.DevicePath(), fits) << "a path over 511 characters is no match";
  EXPECT_EQ(driver_.CallsOf(RecordedCall::Kind::kOpen).size(), 1u);
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {too_long});
  EXPECT_FALSE(link_.Scan());
}

// Every record the link can build decodes back into the transfer it carries.
TEST(RequestDecoder, RoundTripsEveryRecordTheLinkBuilds) {
  const SetupPacket setups[] = {{0x43, 0x90, 0, 200},     {0xC3, 0x91, 0, 255},
                                {0x43, 0x84, 0xB6A3, 0xF8E2}, {0x43, 0x85, 0x91E7, 0x7F03},
                                {0x43, 0x80, 0, 0},       {0xC3, 0x82, 0, 0}};
  for (const auto& setup : setups) {
    for (size_t length : {0u, 1u, 3u, 64u, 255u, 256u}) {
      Bytes data(length, 0xA5);
      const auto record = BuildSetupRecord(setup, 0);
      auto decoded = DecodeRequest(SetupRecordIoctl(setup.request_type), record, length);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->setup, setup);
      EXPECT_EQ(decoded->length, length);

      const auto block = BuildPropertyBlock(setup, data);
      decoded = DecodeRequest(kIoctlKsProperty, block, length);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->kind, DecodedRequest::Kind::kControlTransfer);
      EXPECT_EQ(decoded->setup, setup) << "vendor request types come back as 0x43/0xC3";
      EXPECT_EQ(decoded->length, length);
    }
  }
  const auto probe = BuildSetupRecord({0x80, 6, 0x0100, 1}, 18);
  const auto decoded_probe = DecodeRequest(kIoctlVendorDeviceToHost, probe, 18);
  ASSERT_TRUE(decoded_probe);
  EXPECT_EQ(decoded_probe->length, 18u);
  const auto presence = DecodeRequest(kIoctlKsProperty, BuildPresenceQuery(), 0);
  ASSERT_TRUE(presence);
  EXPECT_EQ(presence->kind, DecodedRequest::Kind::kPresenceQuery);
}

TEST(RequestDecoder, RefusesMalformedRecords) {
  const auto out_record = BuildSetupRecord({0x43, 0x90, 0, 1}, 0);
  EXPECT_FALSE(DecodeRequest(kIoctlVendorDeviceToHost, out_record, 1)) << "direction mismatch";
  EXPECT_FALSE(DecodeRequest(0x12345, out_record, 1)) << "unknown code";
  Bytes short_record(out_record.begin(), out_record.end() - 1);
  EXPECT_FALSE(DecodeRequest(kIoctlVendorHostToDevice, short_record, 1));
  EXPECT_FALSE(DecodeRequest(kIoctlVendorDeviceToHost, BuildSetupRecord({0x80, 6, 0x100, 1}, 18),
                             4))
      << "a setup length larger than the receive buffer";

  Bytes data(8, 1);
  auto block = BuildPropertyBlock({0x43, 0x80, 0, 1}, data);
  EXPECT_FALSE(DecodeRequest(kIoctlKsProperty, block, 4)) << "block longer than the data";
  block.pop_back();
  EXPECT_FALSE(DecodeRequest(kIoctlKsProperty, block, 8)) << "truncated block";
  block = BuildPropertyBlock({0x43, 0x80, 0, 1}, data);
  block[3] ^= 1;
  EXPECT_FALSE(DecodeRequest(kIoctlKsProperty, block, 8)) << "foreign property set";
}

}  // namespace
}  // namespace korvalen

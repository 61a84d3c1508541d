#include "link/LibusbDriver.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "link/RequestRecord.h"
#include "link/UsbInterfacePath.h"

namespace korvalen {
namespace {

constexpr Guid kOtherClass = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

TEST(LibusbPlanTransfer, SetupRecordBecomesItsControlTransfer) {
  const SetupPacket in_setup{kVendorIn, 0x81, 0x1234, 0xABCD};
  const auto read = PlanTransfer(kIoctlVendorDeviceToHost, BuildSetupRecord(in_setup, 0), 64);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->setup, in_setup);
  EXPECT_EQ(read->length, 64);  // the length travels as the block's size
  EXPECT_TRUE(read->into_caller_block);

  const SetupPacket out_setup{kVendorOut, 0x02, 0x0001, 0x00FF};
  const auto write = PlanTransfer(kIoctlVendorHostToDevice, BuildSetupRecord(out_setup, 0), 0);
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->setup, out_setup);
  EXPECT_EQ(write->length, 0);

  // The descriptor test request names its own length.
  const SetupPacket descriptor{0x80, 6, 0x0100, 1};
  const auto test = PlanTransfer(kIoctlVendorDeviceToHost, BuildSetupRecord(descriptor, 18), 18);
  ASSERT_TRUE(test.has_value());
  EXPECT_EQ(test->setup, descriptor);
  EXPECT_EQ(test->length, 18);
}

TEST(LibusbPlanTransfer, PropertyBlockBecomesVendorRequestOfItsDirection) {
  const std::vector<uint8_t> data = {1, 2, 3};
  const auto write =
      PlanTransfer(kIoctlKsProperty, BuildPropertyBlock({kVendorOut, 0x10, 0x22, 0x33}, data), 3);
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->setup, (SetupPacket{kVendorOut, 0x10, 0x22, 0x33}));
  EXPECT_EQ(write->length, 3);

  // Whatever request type the caller gave, the audio channel carries only the
  // direction: a device-to-host request goes out as this system's vendor IN.
  const std::vector<uint8_t> one(1);
  const auto read =
      PlanTransfer(kIoctlKsProperty, BuildPropertyBlock({0x80, 0x11, 0x44, 0x55}, one), 1);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->setup, (SetupPacket{kVendorIn, 0x11, 0x44, 0x55}));
  EXPECT_EQ(read->length, 1);
  EXPECT_TRUE(read->into_caller_block);
}

TEST(LibusbPlanTransfer, PresenceQueryAsksTheDeviceForItsStatus) {
  const auto plan = PlanTransfer(kIoctlKsProperty, BuildPresenceQuery(), 0);
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(plan->setup, kGetDeviceStatus);
  EXPECT_EQ(plan->length, kDeviceStatusLength);
  EXPECT_FALSE(plan->into_caller_block);  // the caller passed no block to fill
}

TEST(LibusbPlanTransfer, RefusesWhatOneControlTransferCannotCarry) {
  const auto record = BuildSetupRecord({kVendorIn, 1, 0, 0}, 0);
  EXPECT_TRUE(PlanTransfer(kIoctlVendorDeviceToHost, record, 0xFFFF).has_value());
  EXPECT_FALSE(PlanTransfer(kIoctlVendorDeviceToHost, record, 0x10000).has_value());

  const std::vector<uint8_t> big(0x10000);
  EXPECT_FALSE(
      PlanTransfer(kIoctlKsProperty, BuildPropertyBlock({kVendorOut, 1, 0, 0}, big), big.size())
          .has_value());
}

TEST(LibusbPlanTransfer, RefusesRecordsThatDoNotDecode) {
  const auto record = BuildSetupRecord({kVendorIn, 1, 0, 0}, 0);
  EXPECT_FALSE(PlanTransfer(0x12345678, record, 4).has_value());
  EXPECT_FALSE(PlanTransfer(kIoctlVendorHostToDevice, record, 4).has_value());  // wrong direction
  EXPECT_FALSE(PlanTransfer(kIoctlVendorDeviceToHost, {}, 4).has_value());
}

// ---------------------------------------------------------------- audio class

libusb_interface_descriptor Altsetting(uint8_t interface_class) {
  libusb_interface_descriptor descriptor{};
  descriptor.bInterfaceClass = interface_class;
  return descriptor;
}

TEST(LibusbAudioClass, FindsAudioInAnyInterfaceOrAlternateSetting) {
  const libusb_interface_descriptor hid[] = {Altsetting(LIBUSB_CLASS_HID)};
  const libusb_interface_descriptor vendor_then_audio[] = {Altsetting(LIBUSB_CLASS_VENDOR_SPEC),
                                                           Altsetting(LIBUSB_CLASS_AUDIO)};
  const libusb_interface with_audio[] = {{hid, 1}, {vendor_then_audio, 2}};
  const libusb_interface without_audio[] = {{hid, 1}, {vendor_then_audio, 1}};

  libusb_config_descriptor config{};
  config.interface = with_audio;
  config.bNumInterfaces = 2;
  EXPECT_TRUE(HasAudioInterface(config));

  config.interface = without_audio;
  EXPECT_FALSE(HasAudioInterface(config));

  config.bNumInterfaces = 0;
  EXPECT_FALSE(HasAudioInterface(config));
}

// ---------------------------------------------------------------- this machine

// These run against whatever USB stack the machine has, which on a build
// machine is often none at all: they check what must hold either way.
TEST(LibusbDriver, ListsAudioDevicesAmongAllDevices) {
  LibusbDriver driver;
  const auto devices = driver.EnumerateInterfaces(kUsbDeviceInterfaceClass);
  const auto audio = driver.EnumerateInterfaces(kAudioDriverInterfaceClass);
  ASSERT_EQ(devices.has_value(), audio.has_value());
  if (!devices) GTEST_SKIP() << "libusb cannot list devices on this machine";

  std::set<std::vector<uint8_t>> device_locations;
  for (const std::string& path : *devices) {
    const auto parsed = ParseInterfacePath(path);
    ASSERT_TRUE(parsed.has_value()) << path;
    EXPECT_EQ(parsed->interface_class, kUsbDeviceInterfaceClass);
    std::vector<uint8_t> key = parsed->location.ports;
    key.insert(key.begin(), parsed->location.bus);
    EXPECT_TRUE(device_locations.insert(key).second) << "two devices at " << path;
  }
  for (const std::string& path : *audio) {
    const auto parsed = ParseInterfacePath(path);
    ASSERT_TRUE(parsed.has_value()) << path;
    EXPECT_EQ(parsed->interface_class, kAudioDriverInterfaceClass);
    EXPECT_NE(std::find(devices->begin(), devices->end(),
                        BuildInterfacePath(parsed->location, kUsbDeviceInterfaceClass)),
              devices->end())
        << path;
  }
}

TEST(LibusbDriver, ListsNothingForClassesThisSystemDoesNotUse) {
  LibusbDriver driver;
  const auto paths = driver.EnumerateInterfaces(kOtherClass);
  ASSERT_TRUE(paths.has_value());  // the query worked: it just has nothing
  EXPECT_TRUE(paths->empty());
}

TEST(LibusbDriver, OpensNothingThatIsNotAPresentDevice) {
  LibusbDriver driver;
  EXPECT_EQ(driver.OpenPath(""), kNoHandle);
  EXPECT_EQ(driver.OpenPath("vid_5e1a&pid_f070"), kNoHandle);
  EXPECT_EQ(driver.OpenPath(std::string(600, 'a')), kNoHandle);
  // Well-formed, but no bus 255 with a seven-deep chain of port 255 exists.
  const UsbLocation nowhere{255, {255, 255, 255, 255, 255, 255, 255}, 0x5E1A, 0xF070};
  EXPECT_EQ(driver.OpenPath(BuildInterfacePath(nowhere, kUsbDeviceInterfaceClass)), kNoHandle);
  // Every listed device, if it opens at all, refuses a record that does not
  // decode without sending anything.
  const auto devices = driver.EnumerateInterfaces(kUsbDeviceInterfaceClass);
  for (const std::string& path : devices.value_or(std::vector<std::string>{})) {
    const DriverHandle handle = driver.OpenPath(path);
    if (handle == kNoHandle) continue;
    uint8_t block[4] = {};
    EXPECT_FALSE(driver.IoControl(handle, 0x12345678, {}, block)) << path;
    driver.CloseHandle(handle);
    EXPECT_FALSE(driver.IoControl(handle, kIoctlKsProperty, BuildPresenceQuery(), {})) << path;
  }
}

TEST(LibusbDriver, RefusesRequestsOnHandlesItDidNotOpen) {
  LibusbDriver driver;
  const auto record = BuildSetupRecord({kVendorIn, 1, 0, 0}, 0);
  uint8_t block[8] = {};
  EXPECT_FALSE(driver.IoControl(kNoHandle, kIoctlVendorDeviceToHost, record, block));
  EXPECT_FALSE(driver.IoControl(1, kIoctlVendorDeviceToHost, record, block));
  EXPECT_FALSE(driver.IoControl(0x7FFF0000, kIoctlKsProperty, BuildPresenceQuery(), {}));
  driver.CloseHandle(1);  // unknown handles are ignored, not dereferenced
  EXPECT_FALSE(driver.IoControl(1, kIoctlVendorDeviceToHost, record, block));
}

}  // namespace
}  // namespace korvalen

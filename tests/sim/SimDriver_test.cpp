// SimDriver: enumeration by channel, paths with the id text, both envelopes
// through the shared decoder, attach and detach at any time.
#include "sim/SimDriver.h"

#include <gtest/gtest.h>

#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "link/RequestRecord.h"
#include "link/UsbInterfacePath.h"
#include "sim/VirtualClock.h"

namespace korvalen::sim {
namespace {

class SimDriverTest : public ::testing::Test {
 protected:
  std::shared_ptr<SimDevice> Plug(const SimIdentity& identity) {
    auto device = MakeSimDevice(clock_, identity);
    driver_.Attach(device);
    return device;
  }
  std::vector<std::string> List(const Guid& interface_class) {
    auto paths = driver_.EnumerateInterfaces(interface_class);
    EXPECT_TRUE(paths.has_value());
    return paths.value_or(std::vector<std::string>{});
  }

  VirtualClock clock_;
  SimDriver driver_;
};

TEST_F(SimDriverTest, ListsEachDeviceUnderItsChannelsClassWithItsIdText) {
  auto model = Plug(kSimTideXs);
  auto loader = Plug(kSimUpdate5E1A);
  const auto audio = List(kAudioDriverInterfaceClass);
  const auto usb = List(kUsbDeviceInterfaceClass);
  ASSERT_EQ(audio.size(), 1u);
  ASSERT_EQ(usb.size(), 1u);
  EXPECT_NE(audio[0].find("vid_5e1a&pid_f0f0"), std::string::npos) << audio[0];
  EXPECT_NE(usb[0].find("vid_5e1a&pid_6000"), std::string::npos) << usb[0];
  EXPECT_EQ(driver_.PathOf(*model), audio[0]);
  const auto parsed = ParseInterfacePath(audio[0]);
  ASSERT_TRUE(parsed.has_value()) << "the path has the form real paths have";
  EXPECT_EQ(parsed->interface_class, kAudioDriverInterfaceClass);
  EXPECT_EQ(parsed->location.product_id, 0xF0F0);
  EXPECT_TRUE(List(Guid{1, 2, 3, {}}).empty());
}

TEST_F(SimDriverTest, EveryIdentityIsFoundByTheLink) {
  for (const SimIdentity& identity : SimIdentities()) {
    SCOPED_TRACE(std::string(identity.id_text));
    SimDriver driver;
    auto device = MakeSimDevice(clock_, identity);
    driver.Attach(device);
    NorvaneUsb link(driver);
    link.SetDriverKind(identity.channel);
    ASSERT_TRUE(link.SetDeviceId(identity.id_text));
    EXPECT_TRUE(link.Probe()) << "presence query or descriptor request answered";
    EXPECT_TRUE(link.IsPresent());
    ASSERT_TRUE(link.Open());
    uint8_t value = 0;
    EXPECT_TRUE(ReadRegister(link, 0, &value));
    // The other channel's search does not find it.
    link.Close();
    link.SetDriverKind(identity.channel == kAudioDriverChannel ? kDeviceInterfaceChannel
                                                               : kAudioDriverChannel);
    EXPECT_FALSE(link.Scan());
    EXPECT_EQ(driver.ContractViolations(), 0u);
  }
}

TEST_F(SimDriverTest, DescriptorProbeGetsTheDeviceDescriptor) {
  Plug(kSimUpdate0C3D);
  const auto handle = driver_.OpenPath(List(kUsbDeviceInterfaceClass).at(0));
  ASSERT_NE(handle, kNoHandle);
  const auto record = BuildSetupRecord({0x80, 6, 0x0100, 1}, 18);
  std::vector<uint8_t> descriptor(18, 0);
  ASSERT_TRUE(driver_.IoControl(handle, kIoctlVendorDeviceToHost, record, descriptor));
  EXPECT_EQ(descriptor[0], 18);
  EXPECT_EQ(descriptor[1], 1);
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0x0C3D);
  EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 0x6000);
  driver_.CloseHandle(handle);
}

TEST_F(SimDriverTest, EachChannelAnswersOnlyItsOwnEnvelope) {
  Plug(kSimOrbit);
  Plug(kSimUpdate5E1A);
  const auto model = driver_.OpenPath(List(kAudioDriverInterfaceClass).at(0));
  const auto loader = driver_.OpenPath(List(kUsbDeviceInterfaceClass).at(0));
  std::vector<uint8_t> value(1);
  const SetupPacket read{kVendorIn, 0x91, 0, 0};
  const auto record = BuildSetupRecord(read, 0);
  const auto property = BuildPropertyBlock(read, value);
  EXPECT_FALSE(driver_.IoControl(model, kIoctlVendorDeviceToHost, record, value));
  EXPECT_TRUE(driver_.IoControl(model, kIoctlKsProperty, property, value));
  EXPECT_TRUE(driver_.IoControl(loader, kIoctlVendorDeviceToHost, record, value));
  EXPECT_FALSE(driver_.IoControl(loader, kIoctlKsProperty, property, value));
  EXPECT_FALSE(driver_.IoControl(loader, 0x12345, record, value)) << "unknown code";
  EXPECT_TRUE(driver_.IoControl(model, kIoctlKsProperty, BuildPresenceQuery(), {}));
  EXPECT_FALSE(driver_.IoControl(loader, kIoctlKsProperty, BuildPresenceQuery(), {}));
  driver_.CloseHandle(model);
  driver_.CloseHandle(loader);
  EXPECT_EQ(driver_.OpenHandles(), 0u);
}

TEST_F(SimDriverTest, RemovedDeviceFailsEveryRequestOfItsHandles) {
  auto device = Plug(kSimOrbit);
  const std::string path = List(kAudioDriverInterfaceClass).at(0);
  const auto handle = driver_.OpenPath(path);
  ASSERT_NE(handle, kNoHandle);
  std::vector<uint8_t> value(1);
  const auto property = BuildPropertyBlock({kVendorIn, 0x91, 0, 0}, value);
  EXPECT_TRUE(driver_.IoControl(handle, kIoctlKsProperty, property, value));
  driver_.Detach(device);
  EXPECT_FALSE(driver_.IoControl(handle, kIoctlKsProperty, property, value));
  EXPECT_TRUE(List(kAudioDriverInterfaceClass).empty());
  EXPECT_EQ(driver_.OpenPath(path), kNoHandle);
  // Plugged in again: same socket, same path; the old handle stays dead.
  driver_.Attach(device);
  EXPECT_EQ(List(kAudioDriverInterfaceClass).at(0), path);
  EXPECT_FALSE(driver_.IoControl(handle, kIoctlKsProperty, property, value));
  const auto fresh = driver_.OpenPath(path);
  EXPECT_TRUE(driver_.IoControl(fresh, kIoctlKsProperty, property, value));
  driver_.CloseHandle(handle);
  driver_.CloseHandle(fresh);
  // A device destroyed while a handle is open.
  const auto last = driver_.OpenPath(path);
  driver_.DetachAll();
  device.reset();
  EXPECT_FALSE(driver_.IoControl(last, kIoctlKsProperty, property, value));
  driver_.CloseHandle(last);
  EXPECT_EQ(driver_.ContractViolations(), 0u);
}

TEST_F(SimDriverTest, UnplugIsAPowerLoss) {
  auto device = Plug(kSimOrbit);
  NorvaneUsb link(driver_);
  link.SetDriverKind(kAudioDriverChannel);
  link.SetDeviceId(kSimOrbit.id_text);
  ASSERT_TRUE(link.Probe());
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(SetIspMode(link, true));
  ASSERT_TRUE(device->IspMode());
  device->flash().Fill(0x10, 4, 0x00);
  driver_.Detach(device);
  EXPECT_FALSE(device->IspMode());
  driver_.Attach(device);
  EXPECT_EQ(device->flash().Read(0x10, 1)[0], 0x00) << "flash contents survive";
  EXPECT_FALSE(SetIspMode(link, true)) << "the old handle is dead";
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(SetIspMode(link, true));
}

TEST_F(SimDriverTest, SeveralDevicesAtOnce) {
  auto a = Plug(kSimOrbit);
  auto b = Plug(kSimOrbit);
  auto c = Plug(kSimTide);
  const auto paths = List(kAudioDriverInterfaceClass);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_NE(paths[0], paths[1]);
  driver_.Detach(a);
  EXPECT_EQ(List(kAudioDriverInterfaceClass).size(), 2u);
  driver_.Attach(a);
  EXPECT_EQ(driver_.PathOf(*a), paths[0]) << "back in its free socket";
  EXPECT_EQ(driver_.Attached().size(), 3u);
  driver_.Attach(a);
  EXPECT_EQ(driver_.Attached().size(), 3u) << "attaching twice does nothing";
}

TEST_F(SimDriverTest, AttachAtPutsTheDeviceOnTheChosenPort) {
  auto first = MakeSimDevice(clock_, kSimOrbit);
  auto second = MakeSimDevice(clock_, kSimOrbit);
  driver_.AttachAt(first, 3);
  driver_.AttachAt(second, 3);  // taken: ignored
  driver_.AttachAt(second, 0);  // no such port: ignored
  EXPECT_EQ(driver_.Attached().size(), 1u);
  EXPECT_EQ(driver_.PathOf(*first).rfind("usb:bus-001:port-3#vid_5e1a&pid_f070#", 0), 0u)
      << driver_.PathOf(*first);
  driver_.AttachAt(second, 7);
  EXPECT_EQ(driver_.PathOf(*second).rfind("usb:bus-001:port-7#", 0), 0u);
  // Plain Attach still takes the lowest free port.
  auto third = MakeSimDevice(clock_, kSimOrbit);
  driver_.Attach(third);
  EXPECT_EQ(driver_.PathOf(*third).rfind("usb:bus-001:port-1#", 0), 0u);
}

TEST_F(SimDriverTest, EnumerationFailureAndContractViolations) {
  Plug(kSimOrbit);
  driver_.SetEnumerationFails(true);
  EXPECT_FALSE(driver_.EnumerateInterfaces(kAudioDriverInterfaceClass).has_value());
  driver_.SetEnumerationFails(false);
  EXPECT_EQ(driver_.OpenPath("not a path"), kNoHandle);
  std::vector<uint8_t> value(1);
  EXPECT_FALSE(driver_.IoControl(0x7777, kIoctlKsProperty, BuildPresenceQuery(), value));
  driver_.CloseHandle(0x7777);
  EXPECT_EQ(driver_.ContractViolations(), 2u);
}

}  // namespace
}  // namespace korvalen::sim

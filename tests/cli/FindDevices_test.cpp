// Which attached devices korvalen-fw offers, from the interface paths the
// platform's driver lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/Devices.h"
#include "link/NorvaneUsb.h"
#include "tests/support/RecordingDriver.h"

namespace korvalen::testing {
namespace {

using cli::DeviceEntry;

constexpr char kUsbClass[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kAudioClass[] = "#{50894fa4-9206-4a91-8728-cf6f268f271d}\\global";

TEST(FindDevices, WindowsPathsNameEachDeviceByItsInstance) {
  RecordingDriver driver;
  const std::string tide_a = "\\\\?\\usb#vid_5e1a&pid_f072&mi_00#7&2f0c1e&0&0000";
  const std::string tide_b = "\\\\?\\usb#vid_5e1a&pid_f072&mi_00#7&9a8b7c&0&0000";
  const std::string loader = "\\\\?\\usb#vid_5e1a&pid_6000#5&1a2b3c4d&0&2";
  driver.SetInterfaces(kAudioDriverInterfaceClass,
                       {tide_b + kAudioClass, tide_a + kAudioClass,
                        "\\\\?\\usb#vid_046d&pid_0a44&mi_00#7&1&0&0000" + std::string(kAudioClass)});
  driver.SetInterfaces(kUsbDeviceInterfaceClass,
                       {loader + kUsbClass, "\\\\?\\usb#vid_1d6b&pid_0002#6&1&0&1" +
                                                std::string(kUsbClass)});

  const auto devices = cli::FindKnownDevices(driver);
  ASSERT_TRUE(devices.has_value());
  ASSERT_EQ(devices->size(), 3u);  // the two unknown devices are left out
  const DeviceEntry& first = (*devices)[0];
  EXPECT_EQ(first.path, "usb#vid_5e1a&pid_6000#5&1a2b3c4d&0&2");
  EXPECT_EQ(first.name, "Firmware update 5E1A");
  EXPECT_EQ(first.channel, kDeviceInterfaceChannel);
  EXPECT_EQ(first.interface_path, loader + kUsbClass);
  EXPECT_EQ(first.vid, 0x5E1A);
  EXPECT_EQ(first.pid, 0x6000);
  // Two of one model stay apart, each opened through its own full path.
  EXPECT_EQ((*devices)[1].path, "usb#vid_5e1a&pid_f072&mi_00#7&2f0c1e&0&0000");
  EXPECT_EQ((*devices)[1].interface_path, tide_a + kAudioClass);
  EXPECT_EQ((*devices)[2].path, "usb#vid_5e1a&pid_f072&mi_00#7&9a8b7c&0&0000");
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ((*devices)[i].name, "KORVALEN TIDE");
    EXPECT_EQ((*devices)[i].model_row, 2);
    EXPECT_EQ((*devices)[i].channel, kAudioDriverChannel);
    EXPECT_EQ((*devices)[i].pid, 0xF072);
  }
}

TEST(FindDevices, LibusbPathsKeepTheirBusAndPort) {
  RecordingDriver driver;
  driver.SetInterfaces(kAudioDriverInterfaceClass, {});
  driver.SetInterfaces(kUsbDeviceInterfaceClass,
                       {"usb:bus-003:port-1.4#vid_0c3d&pid_6000" + std::string(kUsbClass)});
  const auto devices = cli::FindKnownDevices(driver);
  ASSERT_TRUE(devices.has_value());
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_EQ((*devices)[0].path, "usb:bus-003:port-1.4");
  EXPECT_EQ((*devices)[0].name, "Firmware update 0C3D");
}

TEST(FindDevices, NothingWhenBothSystemQueriesFail) {
  RecordingDriver driver;  // no class listed: each enumeration fails
  EXPECT_FALSE(cli::FindKnownDevices(driver).has_value());
  driver.SetInterfaces(kUsbDeviceInterfaceClass, {});
  const auto devices = cli::FindKnownDevices(driver);
  ASSERT_TRUE(devices.has_value());
  EXPECT_TRUE(devices->empty());
}

}  // namespace
}  // namespace korvalen::testing

#include "link/UsbInterfacePath.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvalen {
namespace {

constexpr Guid kOtherClass = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

TEST(UsbInterfacePath, CarriesLowerCaseIdLocationAndClass) {
  const UsbLocation location{3, {1, 4}, 0x5E1A, 0xF070};
  const std::string path = BuildInterfacePath(location, kAudioDriverInterfaceClass);
  EXPECT_EQ(path, "usb:bus-003:port-1.4#vid_5e1a&pid_f070#{50894fa4-9206-4a91-8728-cf6f268f271d}");
  // The link finds devices by this exact, case-sensitive substring.
  EXPECT_NE(path.find("vid_5e1a&pid_f070"), std::string::npos);
  EXPECT_EQ(path.find("5E1A"), std::string::npos);
}

TEST(UsbInterfacePath, RoundTripsEveryLocation) {
  const std::vector<UsbLocation> locations = {
      {3, {1, 4}, 0x5E1A, 0xF070},
      {1, {}, 0x1D6B, 0x0002},  // a root hub has no port chain
      {255, {255, 255, 255, 255, 255, 255, 255}, 0xFFFF, 0xFFFF},
      {0, {7}, 0x0000, 0x0000},
      {12, {2, 10, 3}, 0x0C3D, 0x6000},
  };
  for (const Guid& interface_class :
       {kUsbDeviceInterfaceClass, kAudioDriverInterfaceClass, kOtherClass}) {
    for (const UsbLocation& location : locations) {
      const std::string path = BuildInterfacePath(location, interface_class);
      SCOPED_TRACE(path);
      EXPECT_LE(path.size(), kMaxInterfacePathLength);
      const auto parsed = ParseInterfacePath(path);
      ASSERT_TRUE(parsed.has_value());
      EXPECT_EQ(parsed->location, location);
      EXPECT_EQ(parsed->interface_class, interface_class);
    }
  }
}

TEST(UsbInterfacePath, RefusesMalformedPaths) {
  const std::string guid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const std::string good = "usb:bus-003:port-1.4#vid_5e1a&pid_f070#" + guid;
  ASSERT_TRUE(ParseInterfacePath(good).has_value());
  const std::vector<std::string> bad = {
      "",
      "usb:",
      "usb:bus-003:port-1.4",
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070",
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070#",
      "USB:bus-003:port-1.4#vid_5e1a&pid_f070#" + guid,
      "usb:bus-3:port-1.4#vid_5e1a&pid_f070#" + guid,    // not the written form
      "usb:bus-256:port-1.4#vid_5e1a&pid_f070#" + guid,  // no such bus number
      "usb:bus--01:port-1.4#vid_5e1a&pid_f070#" + guid,
      "usb:bus-003:port-#vid_5e1a&pid_f070#" + guid,   // empty chain is "root"
      "usb:bus-003:port-0#vid_5e1a&pid_f070#" + guid,  // ports start at 1
      "usb:bus-003:port-1.256#vid_5e1a&pid_f070#" + guid,
      "usb:bus-003:port-1..4#vid_5e1a&pid_f070#" + guid,
      "usb:bus-003:port-1.4.#vid_5e1a&pid_f070#" + guid,
      "usb:bus-003:port-01.4#vid_5e1a&pid_f070#" + guid,
      "usb:bus-003:port-1.2.3.4.5.6.7.8#vid_5e1a&pid_f070#" + guid,  // deeper than USB allows
      "usb:bus-003:port-1.4#vid_5E1A&pid_f070#" + guid,              // ids are lower case
      "usb:bus-003:port-1.4#vid_5g1a&pid_f070#" + guid,
      "usb:bus-003:port-1.4#vid_5e1&pid_f070#" + guid,
      "usb:bus-003:port-1.4#pid_f070&vid_5e1a#" + guid,
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070#{A5DCBF10-6530-11D2-901F-00C04FB951ED}",
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070#{a5dcbf10x6530-11d2-901f-00c04fb951ed}",
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070#a5dcbf10-6530-11d2-901f-00c04fb951ed",
      good + "#",
      " " + good,
      "\\\\?\\usb#vid_5e1a&pid_f070#0001#" + guid,                     // another system's form
      good.substr(0, good.size() - 1) + std::string(4096, 'f') + "}",  // longer than the link holds
  };
  for (const std::string& path : bad) {
    EXPECT_FALSE(ParseInterfacePath(path).has_value()) << path;
  }
}

TEST(SystemInterfacePath, ReadsIdsAndPlaceOfTheDeviceInstance) {
  const auto device = ParseSystemInterfacePath(
      "\\\\?\\usb#vid_5e1a&pid_6000#5&1a2b3c4d&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->place, "usb#vid_5e1a&pid_6000#5&1a2b3c4d&0&2");
  EXPECT_EQ(device->vendor_id, 0x5E1A);
  EXPECT_EQ(device->product_id, 0x6000);

  // An audio interface of a composite device: "&mi_xx" after the ids, and a
  // reference string after the class field.
  const auto audio = ParseSystemInterfacePath(
      "\\\\?\\usb#vid_5e1a&pid_f0f1&mi_00#7&2f0c1e&0&0000#"
      "{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
  ASSERT_TRUE(audio.has_value());
  EXPECT_EQ(audio->place, "usb#vid_5e1a&pid_f0f1&mi_00#7&2f0c1e&0&0000");
  EXPECT_EQ(audio->vendor_id, 0x5E1A);
  EXPECT_EQ(audio->product_id, 0xF0F1);

  // Two devices on different sockets keep different places.
  const auto other = ParseSystemInterfacePath(
      "\\\\?\\usb#vid_5e1a&pid_6000#5&1a2b3c4d&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(other->place, device->place);

  // A stray "vid_" before the real ids does not hide them.
  const auto stray = ParseSystemInterfacePath("\\\\?\\usb#vid_x#vid_0c3d&pid_6000#1#{x}");
  ASSERT_TRUE(stray.has_value());
  EXPECT_EQ(stray->vendor_id, 0x0C3D);
}

TEST(SystemInterfacePath, RefusesPathsWithoutIdsPrefixOrClass) {
  const std::string guid = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const std::vector<std::string> bad = {
      "",
      "\\\\?\\",
      "usb#vid_5e1a&pid_6000#5&1a2b&0&2#" + guid,                // no prefix
      "\\\\?\\usb#vid_5e1a&pid_6000",                        // no class field
      "\\\\?\\#" + guid,                                       // no instance
      "\\\\?\\hdaudio#func_01&ven_10ec&dev_0256#4&1&0&0001#" + guid,  // not USB ids
      "\\\\?\\usb#VID_5E1A&PID_6000#5&1a2b&0&2#" + guid,     // the link matches lower case
      "\\\\?\\usb#vid_5e1a&pid_60#5&1a2b&0&2#" + guid,
      "\\\\?\\usb#vid_5e1a&pid_6000#" + std::string(600, '1') + "#" + guid,  // too long
      "usb:bus-003:port-1.4#vid_5e1a&pid_f070#" + guid,            // the libusb form
  };
  for (const std::string& path : bad) {
    EXPECT_FALSE(ParseSystemInterfacePath(path).has_value()) << path;
  }
}

}  // namespace
}  // namespace korvalen

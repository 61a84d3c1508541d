// A device that is there but refuses this user: the link says so, and the
// message names the device and says how to get access.
#include "link/DeviceAccess.h"

#include <gtest/gtest.h>

#include "link/NorvaneUsb.h"
#include "sim/FaultDriver.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"
#include "tests/support/RecordingDriver.h"

namespace korvalen {
namespace {

using testing::RecordedCall;
using testing::RecordingDriver;

constexpr char kTidePath[] = "usb-1-3:vid_5e1a&pid_f072:audio";
constexpr char kOtherPath[] = "usb-1-4:vid_5e1a&pid_f072:audio";

class AccessDeniedTest : public ::testing::Test {
 protected:
  AccessDeniedTest() : link_(driver_) {
    driver_.SetInterfaces(kAudioDriverInterfaceClass, {kTidePath});
    link_.SetDriverKind(kAudioDriverChannel);
    link_.SetDeviceId("vid_5e1a&pid_f072");
  }
  RecordingDriver driver_;
  NorvaneUsb link_;
};

TEST_F(AccessDeniedTest, ProbeOfARefusedDeviceFindsItAndSaysWhyItDidNotOpen) {
  driver_.denied.insert(kTidePath);
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent()) << "the device is there, only its use is refused";
  EXPECT_TRUE(link_.AccessDenied());
  EXPECT_STREQ(link_.DevicePath(), kTidePath);
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kIoControl).empty());

  EXPECT_FALSE(link_.Open());
  EXPECT_FALSE(link_.HasHandle());
  EXPECT_TRUE(link_.AccessDenied());

  // The rules are installed and the device replugged.
  driver_.denied.clear();
  EXPECT_TRUE(link_.Probe());
  EXPECT_FALSE(link_.AccessDenied());
  driver_.denied.insert(kTidePath);
  EXPECT_FALSE(link_.Open());
  EXPECT_TRUE(link_.AccessDenied());
  driver_.denied.clear();
  EXPECT_TRUE(link_.Open());
  EXPECT_FALSE(link_.AccessDenied());
}

TEST_F(AccessDeniedTest, OtherOpenFailuresAreNotCalledAPermissionProblem) {
  driver_.unopenable.insert(kTidePath);
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent());
  EXPECT_FALSE(link_.AccessDenied());
  EXPECT_FALSE(link_.Open());
  EXPECT_FALSE(link_.AccessDenied());
}

TEST_F(AccessDeniedTest, EachProbeStartsAfreshAndTheLastMatchDecides) {
  driver_.denied.insert(kTidePath);
  link_.Probe();
  ASSERT_TRUE(link_.AccessDenied());
  driver_.SetInterfaces(kAudioDriverInterfaceClass, {});
  link_.Probe();
  EXPECT_FALSE(link_.AccessDenied()) << "nothing was opened, so nothing was refused";

  driver_.SetInterfaces(kAudioDriverInterfaceClass, {kTidePath, kOtherPath});
  EXPECT_TRUE(link_.Probe()) << "the later match opens";
  EXPECT_FALSE(link_.AccessDenied());
  driver_.SetInterfaces(kAudioDriverInterfaceClass, {kOtherPath, kTidePath});
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.AccessDenied());
}

TEST(AccessDeniedMessage, NamesTheDeviceAndSaysWhatToDo) {
  EXPECT_EQ(AccessDeniedMessage("vid_5e1a&pid_f072"),
            "No permission to open KORVALEN TIDE (USB 5e1a:f072). Install the korvalen-updater "
            "package (or its udev rules) and replug the device.");
  EXPECT_EQ(DeviceDisplayName("vid_5e1a&pid_f0f1"), "KORVALEN ORBIT MAX (USB 5e1a:f0f1)");
  EXPECT_EQ(DeviceDisplayName("vid_5e1a&pid_6000"), "the firmware update device (USB 5e1a:6000)");
  EXPECT_EQ(DeviceDisplayName("vid_0c3d&pid_6000"), "the firmware update device (USB 0c3d:6000)");
}

TEST(AccessDeniedMessage, UnknownAndMalformedIdsAreShownAsTheyAre) {
  EXPECT_EQ(DeviceDisplayName("vid_1234&pid_abcd"), "the USB device (USB 1234:abcd)");
  EXPECT_EQ(DeviceDisplayName("vid_5e1a&pid_f0"), "the USB device vid_5e1a&pid_f0");
  EXPECT_EQ(DeviceDisplayName("vid_5e1a&pid_zzzz"), "the USB device vid_5e1a&pid_zzzz");
  EXPECT_EQ(DeviceDisplayName(""), "the USB device");
  EXPECT_EQ(DeviceDisplayName("vid_5e1a&pid_0c3d"), "the USB device (USB 5e1a:0c3d)");
}

TEST(AccessDeniedMessage, NamesTheDeviceOfAnInterfacePath) {
  EXPECT_EQ(DeviceDisplayName("usb:bus-003:port-1.4#vid_5e1a&pid_f070#{50894fa4-9206-4a91-8728-"
                              "cf6f268f271d}"),
            "KORVALEN ORBIT (USB 5e1a:f070)");
  EXPECT_EQ(DeviceDisplayName("usb:bus-001:port-2#vid_0c3d&pid_6000#{a5dcbf10-6530-11d2-901f-"
                              "00c04fb951ed}"),
            "the firmware update device (USB 0c3d:6000)");
}

TEST(AccessDeniedFault, WrapsAnyDriverAndClears) {
  sim::VirtualClock clock;
  sim::SimDriver driver;
  driver.Attach(sim::MakeSimDevice(clock, sim::kSimUpdate0C3D));
  sim::FaultDriver faults(driver);
  NorvaneUsb link(faults);
  faults.DenyAccess(true);
  EXPECT_FALSE(link.Probe());
  EXPECT_TRUE(link.IsPresent());
  EXPECT_TRUE(link.AccessDenied());
  EXPECT_EQ(driver.OpenHandles(), 0u);

  faults.FailOpen(true);
  link.Probe();
  EXPECT_FALSE(link.AccessDenied()) << "a failing open is not a refusal";
  faults.ClearFaults();
  EXPECT_TRUE(link.Probe());
  EXPECT_FALSE(link.AccessDenied());
  EXPECT_TRUE(link.Open());
}

}  // namespace
}  // namespace korvalen

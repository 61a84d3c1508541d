// The link tells a device that is gone from a request that was refused, and
// forgets it once the device is reached again.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "link/LockingDriver.h"
#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "sim/FaultDriver.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

class DeviceGoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_.Attach(device_);
    link_.SetDriverKind(kDeviceInterfaceChannel);
    link_.SetDeviceId(sim::kSimUpdate5E1A.id_text);
    ASSERT_TRUE(link_.Probe());
    ASSERT_TRUE(link_.Open());
  }
  bool Request() { return SelectBank(link_, 0); }

  sim::VirtualClock clock_;
  sim::SimDriver driver_;
  sim::FaultDriver faults_{driver_};
  std::shared_ptr<sim::SimDevice> device_ = sim::MakeSimDevice(clock_, sim::kSimUpdate5E1A);
  NorvaneUsb link_{faults_};
};

TEST_F(DeviceGoneTest, RefusedRequestIsNotGone) {
  faults_.RejectRequest(faults_.RequestCount() + 1);
  EXPECT_FALSE(Request());
  EXPECT_FALSE(link_.DeviceGone());
  EXPECT_TRUE(Request());
}

TEST_F(DeviceGoneTest, UnpluggedDeviceIsGoneUntilItOpensAgain) {
  driver_.Detach(device_);
  EXPECT_FALSE(Request());
  EXPECT_TRUE(link_.DeviceGone());
  // Its path is no longer listed: still gone.
  EXPECT_FALSE(link_.Open());
  EXPECT_TRUE(link_.DeviceGone());
  EXPECT_FALSE(Request());
  EXPECT_TRUE(link_.DeviceGone());

  driver_.Attach(device_);
  EXPECT_TRUE(link_.Open());
  EXPECT_FALSE(link_.DeviceGone());
  EXPECT_TRUE(Request());
}

TEST_F(DeviceGoneTest, VanishedDeviceIsGoneAndAReopenFindsNoPath) {
  faults_.VanishNow();
  EXPECT_FALSE(Request());
  EXPECT_TRUE(link_.DeviceGone());
  link_.Close();
  EXPECT_FALSE(link_.Open());
  EXPECT_TRUE(link_.DeviceGone());
}

TEST_F(DeviceGoneTest, PathThatIsListedButDoesNotOpenIsNotGone) {
  link_.Close();
  faults_.FailOpen(true);
  EXPECT_FALSE(link_.Open());
  EXPECT_FALSE(link_.DeviceGone());
  // Without a handle nothing is sent, and nothing says the device went.
  EXPECT_FALSE(Request());
  EXPECT_FALSE(link_.DeviceGone());
}

// The window reaches its device through the device lock: an unplug must
// still read as gone there, or the update would poll a missing device.
TEST(DeviceGoneThroughLock, UnplugIsSeenThroughTheDeviceLock) {
  sim::VirtualClock clock;
  sim::SimDriver driver;
  const auto device = sim::MakeSimDevice(clock, sim::kSimUpdate5E1A);
  driver.Attach(device);
  std::random_device random;
  LockingDriver locking(driver, "test-gone-" + std::to_string(random()) + ":");
  NorvaneUsb link(locking);
  link.SetDriverKind(kDeviceInterfaceChannel);
  link.SetDeviceId(sim::kSimUpdate5E1A.id_text);
  ASSERT_TRUE(link.Probe());
  ASSERT_TRUE(link.Open());
  driver.Detach(device);
  EXPECT_FALSE(SelectBank(link, 0));
  EXPECT_TRUE(link.DeviceGone());
}

}  // namespace
}  // namespace korvalen

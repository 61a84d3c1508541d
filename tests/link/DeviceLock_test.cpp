// One device, one master: the device lock between two holders, and the
// driver that keeps it while a program works with the device.
#include "link/DeviceLock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "link/LockingDriver.h"
#include "link/NorvaneUsb.h"
#include "tests/support/RecordingDriver.h"

namespace korvalen {
namespace {

using testing::RecordedCall;
using testing::RecordingDriver;

namespace fs = std::filesystem;

constexpr char kTidePath[] =
    "usb:bus-003:port-1.4#vid_5e1a&pid_f072#{50894fa4-9206-4a91-8728-cf6f268f271d}";

// A key no real program uses, so a test never meets a real device's lock.
std::string TestKey() {
  std::random_device random;
  return "test-" + std::to_string(random()) + "-" + std::to_string(random()) + ":";
}

TEST(DeviceLock, SecondHolderIsToldWhoHasTheDeviceUntilItIsLetGo) {
  const std::string key = TestKey() + "usb:bus-003:port-1.4";
  DeviceLockAttempt first = DeviceLock::TakeDevice(key);
  ASSERT_TRUE(first.lock) << first.message;
  // Each lock object is a holder of its own, also within one process.
  const DeviceLockAttempt second = DeviceLock::TakeDevice(key);
  EXPECT_FALSE(second.lock);
  EXPECT_TRUE(second.in_use);
  EXPECT_EQ(second.message, "the device is in use by process " + std::to_string(::getpid()));
  // Another device is another lock.
  EXPECT_TRUE(DeviceLock::TakeDevice(key + "x").lock);
  first.lock.reset();
  EXPECT_TRUE(DeviceLock::TakeDevice(key).lock);
}

// Links at the lock's name are planted where any user may make them; on
// Windows making one takes rights few users have.
#ifndef _WIN32
TEST(DeviceLock, LockFileIsGoneAfterwardsAndALinkInItsPlaceIsNotFollowed) {
  const fs::path dir = fs::temp_directory_path() / TestKey().substr(0, 20);
  fs::create_directories(dir);
  {
    const DeviceLockAttempt held = DeviceLock::TakeFile(dir / "lock");
    ASSERT_TRUE(held.lock) << held.message;
    EXPECT_TRUE(fs::exists(dir / "lock"));
  }
  EXPECT_FALSE(fs::exists(dir / "lock"));

  { std::ofstream(dir / "victim") << "keep"; }
  fs::create_symlink("victim", dir / "lock");
  const DeviceLockAttempt planted = DeviceLock::TakeFile(dir / "lock");
  EXPECT_FALSE(planted.lock);
  EXPECT_FALSE(planted.in_use);
  EXPECT_NE(planted.message, "");
  std::ifstream in(dir / "victim");
  std::string text;
  in >> text;
  EXPECT_EQ(text, "keep");
  fs::remove_all(dir);
}
#endif

TEST(DeviceLock, KeyIsWhereTheDeviceSitsWhateverTheChannel) {
  EXPECT_EQ(DeviceLockKey(kTidePath), "usb:bus-003:port-1.4");
  EXPECT_EQ(DeviceLockKey("usb:bus-003:port-1.4#vid_5e1a&pid_6000#"
                          "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            "usb:bus-003:port-1.4");
  EXPECT_EQ(DeviceLockKey("\\\\?\\usb#vid_5e1a&pid_f072#5&1a2b3c4d&0&2#"
                          "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            "usb#vid_5e1a&pid_f072#5&1a2b3c4d&0&2");
  EXPECT_EQ(DeviceLockKey("nonsense"), "");
  // Names differ whenever keys do, even where the readable part is alike.
  EXPECT_NE(DeviceLockName("usb:bus-1"), DeviceLockName("usb_bus-1"));
  EXPECT_EQ(DeviceLockName("usb:bus-1").find_first_of(":/\\#&"), std::string::npos);
}

class LockingDriverTest : public ::testing::Test {
 protected:
  LockingDriverTest() : key_(TestKey()), locking_(driver_, key_), link_(locking_) {
    driver_.SetInterfaces(kAudioDriverInterfaceClass, {kTidePath});
    link_.SetDriverKind(kAudioDriverChannel);
    link_.SetDeviceId("vid_5e1a&pid_f072");
  }
  std::string key_;
  RecordingDriver driver_;
  LockingDriver locking_;
  NorvaneUsb link_;
};

TEST_F(LockingDriverTest, DeviceAnotherProgramHoldsGetsNoRequestAndSaysWho) {
  DeviceLockAttempt other = DeviceLock::TakeDevice(key_ + "usb:bus-003:port-1.4");
  ASSERT_TRUE(other.lock);
  EXPECT_FALSE(link_.Probe());
  EXPECT_TRUE(link_.IsPresent());
  EXPECT_FALSE(link_.AccessDenied());
  EXPECT_EQ(link_.InUseText(), "the device is in use by process " + std::to_string(::getpid()));
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kOpen).empty());
  EXPECT_TRUE(driver_.CallsOf(RecordedCall::Kind::kIoControl).empty());

  other.lock.reset();
  EXPECT_TRUE(link_.Probe());
  EXPECT_EQ(link_.InUseText(), "");
}

TEST_F(LockingDriverTest, LockIsKeptAcrossHandlesAndLetGoWhenTheDeviceIsUnplugged) {
  ASSERT_TRUE(link_.Probe());
  ASSERT_TRUE(link_.Open());
  link_.Close();
  EXPECT_TRUE(locking_.Holds(kTidePath));
  EXPECT_FALSE(DeviceLock::TakeDevice(key_ + "usb:bus-003:port-1.4").lock);
  // Listed under another class: still ours.
  driver_.SetInterfaces(kUsbDeviceInterfaceClass, {});
  link_.SetDriverKind(kDeviceInterfaceChannel);
  link_.Scan();
  EXPECT_TRUE(locking_.Holds(kTidePath));
  // Gone from the class it was opened through: let go.
  driver_.SetInterfaces(kAudioDriverInterfaceClass, {});
  link_.SetDriverKind(kAudioDriverChannel);
  EXPECT_FALSE(link_.Scan());
  EXPECT_FALSE(locking_.Holds(kTidePath));
  EXPECT_TRUE(DeviceLock::TakeDevice(key_ + "usb:bus-003:port-1.4").lock);
}

}  // namespace
}  // namespace korvalen

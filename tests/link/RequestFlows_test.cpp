// The request functions against the simulated chip: whole flows through the
// link, the shared decoder and the chip's register, mailbox, pass-through and
// I2C machinery, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "link/FlashPassThrough.h"
#include "link/I2cEngine.h"
#include "link/NorvaneUsb.h"
#include "link/Registers.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen {
namespace {

using sim::FlashModel;
using sim::FlashWriteMode;

constexpr uint8_t kSentinel = 0x5A;
constexpr uint32_t kReadBlock = 64;
constexpr int kBusyPolls = 1000;  // 10 s of device time at most
constexpr uint32_t kBusyPollMs = 10;

// One device on the simulated driver, found and opened through the link.
class SimLink {
 public:
  SimLink(const sim::SimIdentity& identity, std::string_view flash_model)
      : device_(sim::MakeSimDevice(clock_, identity, flash_model)) {
    driver_.Attach(device_);
    link_.SetDriverKind(identity.channel);
    link_.SetDeviceId(identity.id_text);
    link_.Probe();
  }
  ~SimLink() { EXPECT_EQ(driver_.ContractViolations(), 0u); }

  sim::VirtualClock clock_;
  sim::SimDriver driver_;
  std::shared_ptr<sim::SimDevice> device_;
  NorvaneUsb link_{driver_};
};

// The flash flows on every part the simulator knows.
class FlashFlow : public ::testing::TestWithParam<FlashModel> {
 protected:
  FlashFlow() : sim_(sim::kSimUpdate0C3D, GetParam().name) {
    sim_.device_->flash().Fill(kSentinel);
    EXPECT_TRUE(link().Open());
    EXPECT_TRUE(SetIspMode(link(), true));
  }
  ~FlashFlow() override {
    EXPECT_TRUE(SetIspMode(link(), false));
    link().Close();
  }

  NorvaneUsb& link() { return sim_.link_; }
  sim::SimFlash& flash() { return sim_.device_->flash(); }
  const FlashModel& model() { return GetParam(); }

  // Waits for the busy bit to clear as the flash operations do.
  bool WaitNotBusy() {
    for (int poll = 0; poll < kBusyPolls; ++poll) {
      if ((FlashReadStatus(link()) & kStatusBusy) == 0) return true;
      sim_.clock_.Sleep(kBusyPollMs);
    }
    return false;
  }

  std::vector<uint8_t> ReadThroughLink(uint32_t address, uint32_t count) {
    std::vector<uint8_t> out(count, 0);
    for (uint32_t done = 0; done < count; done += kReadBlock) {
      const uint32_t n = std::min(kReadBlock, count - done);
      EXPECT_TRUE(FlashRead(link(), sim_.clock_, address + done, n, out.data() + done));
    }
    return out;
  }

  // Programs in the part's own way: pages of its page size, or one
  // auto-address-increment run per 256 bytes ended by write disable.
  void Program(uint32_t address, const std::vector<uint8_t>& data) {
    const bool aai = model().write_mode == FlashWriteMode::kAaiWord;
    const uint32_t chunk = aai ? 256 : model().page_size;
    for (uint32_t done = 0; done < data.size(); done += chunk) {
      ASSERT_TRUE(FlashWriteEnable(link()));
      if (aai) {
        ASSERT_TRUE(FlashAaiProgram(link(), address + done, chunk, data.data() + done));
        ASSERT_TRUE(FlashWriteDisable(link()));
      } else {
        ASSERT_TRUE(FlashPageProgram(link(), address + done, chunk, data.data() + done));
      }
      ASSERT_TRUE(WaitNotBusy());
    }
  }

  SimLink sim_;
};

TEST_P(FlashFlow, ReadsTheModelsIdAndAnIdleStatus) {
  FlashId id = {};
  ASSERT_TRUE(FlashReadId(link(), &id));
  EXPECT_EQ(id, model().jedec_id);
  EXPECT_EQ(FlashReadStatus(link()) & (kStatusBusy | kStatusWriteEnableLatch), 0);
  ASSERT_TRUE(FlashWriteEnable(link()));
  EXPECT_NE(FlashReadStatus(link()) & kStatusWriteEnableLatch, 0);
  ASSERT_TRUE(FlashWriteDisable(link()));
  EXPECT_EQ(FlashReadStatus(link()) & kStatusWriteEnableLatch, 0);
}

TEST_P(FlashFlow, SectorEraseClearsOnlyItsSector) {
  ASSERT_TRUE(FlashWriteEnable(link()));
  ASSERT_TRUE(FlashSectorErase(link(), 0x001000));
  EXPECT_NE(FlashReadStatus(link()) & kStatusBusy, 0);
  ASSERT_TRUE(WaitNotBusy());
  const auto around = ReadThroughLink(0x000FC0, 0x1080);
  EXPECT_EQ(std::count(around.begin(), around.begin() + 0x40, kSentinel), 0x40);
  EXPECT_EQ(std::count(around.begin() + 0x40, around.begin() + 0x1040, 0xFF), 0x1000);
  EXPECT_EQ(std::count(around.begin() + 0x1040, around.end(), kSentinel), 0x40);
}

TEST_P(FlashFlow, ChipEraseProgramAndReadBack) {
  ASSERT_TRUE(FlashWriteEnable(link()));
  ASSERT_TRUE(FlashChipErase(link()));
  ASSERT_TRUE(WaitNotBusy());
  const auto contents = flash().contents();
  EXPECT_EQ(std::count(contents.begin(), contents.end(), 0xFF), model().size);

  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  Program(0x002000, data);
  EXPECT_EQ(ReadThroughLink(0x002000, data.size()), data);
  // Neighbours stay erased.
  EXPECT_EQ(ReadThroughLink(0x001FC0, 0x40), std::vector<uint8_t>(0x40, 0xFF));
  EXPECT_EQ(ReadThroughLink(0x002400, 0x40), std::vector<uint8_t>(0x40, 0xFF));
  EXPECT_FALSE(flash().InAaiMode());
}

TEST_P(FlashFlow, StatusWriteProtectsAndUnprotects) {
  const uint8_t protect = model().block_protect_mask;
  ASSERT_TRUE(FlashWriteEnable(link()));
  ASSERT_TRUE(FlashWriteStatus(link(), protect));
  ASSERT_TRUE(WaitNotBusy());
  EXPECT_EQ(FlashReadStatus(link()) & protect, protect);
  // A protected part ignores the erase.
  ASSERT_TRUE(FlashWriteEnable(link()));
  ASSERT_TRUE(FlashChipErase(link()));
  ASSERT_TRUE(WaitNotBusy());
  EXPECT_EQ(ReadThroughLink(0, kReadBlock), std::vector<uint8_t>(kReadBlock, kSentinel));

  ASSERT_TRUE(FlashWriteEnable(link()));
  ASSERT_TRUE(FlashWriteStatus(link(), 0));
  ASSERT_TRUE(WaitNotBusy());
  EXPECT_EQ(FlashReadStatus(link()) & protect, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryModel, FlashFlow, ::testing::ValuesIn(sim::FlashModels()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FlashFlowOutsideIsp, PassThroughIsRefusedAndStatusReadsBusy) {
  SimLink sim(sim::kSimUpdate0C3D, sim::kDefaultFlashModel);
  ASSERT_TRUE(sim.link_.Open());
  FlashId id = {};
  EXPECT_FALSE(FlashReadId(sim.link_, &id));
  EXPECT_EQ(FlashReadStatus(sim.link_), 0xFF);
  std::array<uint8_t, 4> out = {};
  EXPECT_FALSE(FlashRead(sim.link_, sim.clock_, 0, 4, out.data()));
}

// The I2C engine against the chip's master controller and a slave at 0x20.
class I2cFlow : public ::testing::Test {
 protected:
  I2cFlow() : sim_(sim::kSimTide, sim::kDefaultFlashModel) {
    EXPECT_TRUE(sim_.link_.Open());
    I2cSetup(sim_.link_);
    bus().ClearEvents();
  }
  NorvaneUsb& link() { return sim_.link_; }
  sim::SimI2cBus& bus() { return sim_.device_->i2c(); }

  SimLink sim_;
};

TEST_F(I2cFlow, WritesAndReadsBackSlaveRegisters) {
  const std::array<uint8_t, 3> data = {0x11, 0x22, 0x33};
  ASSERT_TRUE(I2cWriteRegs(link(), 0x20, 0x40, 3, data.data()));
  EXPECT_EQ(bus().Slave(0x20)->Register(0x41), 0x22);
  std::array<uint8_t, 3> back = {};
  ASSERT_TRUE(I2cReadRegs(link(), 0x20, 0x40, 3, back.data()));
  EXPECT_EQ(back, data);
  EXPECT_EQ(bus().Trace(), "S 20+ 40+ 11+ 22+ 33+ P S 20+ 40+ Sr 21+ r11+ r22+ r33- P");
}

TEST_F(I2cFlow, RawTransfersAreOneWriteAndOneCombinedRead) {
  const uint8_t reg = 0x80;
  const std::array<uint8_t, 2> data = {0xAB, 0xCD};
  ASSERT_TRUE(I2cWriteRaw(link(), 0x20, 1, &reg, 2, data.data()));
  std::array<uint8_t, 2> back = {};
  ASSERT_TRUE(I2cReadRaw(link(), 0x20, 1, &reg, 2, back.data()));
  EXPECT_EQ(back, data);
  EXPECT_EQ(bus().Trace(), "S 20+ 80+ AB+ CD+ P S 20+ 80+ Sr 21+ rAB+ rCD- P");
}

TEST_F(I2cFlow, AbsentSlaveFailsAfterTenAttemptsAndReleasesTheBus) {
  std::array<uint8_t, 2> back = {0x77, 0x77};
  EXPECT_FALSE(I2cReadRegs(link(), 0x50, 0x00, 2, back.data()));
  EXPECT_EQ(back, (std::array<uint8_t, 2>{0x77, 0x77}));
  std::string expected = "S 50-";
  for (int i = 1; i < 10; ++i) expected += " Sr 50-";
  EXPECT_EQ(bus().Trace(), expected + " P");
  EXPECT_FALSE(bus().busy());
}

TEST_F(I2cFlow, SlaveThatStopsAcknowledgingAfterTheRegisterFailsTheReadPhase) {
  bus().Slave(0x20)->StopAcknowledgingAfter(2);
  std::array<uint8_t, 1> back = {0x77};
  EXPECT_FALSE(I2cReadRegs(link(), 0x20, 0x05, 1, back.data()));
  EXPECT_EQ(back[0], 0x77);
  EXPECT_FALSE(bus().busy());
}

// The mailbox and version registers against the simulated firmware.
TEST(MailboxFlow, SettingsRoundTripAndVersion) {
  SimLink sim(sim::kSimOrbit, sim::kDefaultFlashModel);
  sim.device_->SetFirmwareVersion(1, 7);
  std::array<uint8_t, 4> settings = {0xB2, 0x01, 0x02, 0x81};
  EXPECT_TRUE(MailboxCommand(sim.link_, sim.clock_, sim::kMailboxCommandSettings,
                             sim::kSubSettingsWrite, 0, 4, settings.data()));
  EXPECT_EQ(sim.device_->mailbox().settings, settings);
  std::array<uint8_t, 4> read = {};
  EXPECT_TRUE(MailboxCommand(sim.link_, sim.clock_, sim::kMailboxCommandSettings,
                             sim::kSubSettingsRead, 0, 4, read.data()));
  EXPECT_EQ(read, settings);
  EXPECT_FALSE(sim.link_.HasHandle());

  const FirmwareVersion version = ReadFirmwareVersion(sim.link_);
  EXPECT_EQ(version.major, 1);
  EXPECT_EQ(version.minor, 7);
}

TEST(MailboxFlow, StringChunksAssembleInTheFirmware) {
  SimLink sim(sim::kSimOrbit, sim::kDefaultFlashModel);
  const std::string record = std::string(1, 11) + "KORVALEN AB";
  std::array<uint8_t, 8> chunk = {};
  for (uint8_t index = 0; index * 8 < record.size(); ++index) {
    const size_t n = std::min<size_t>(8, record.size() - index * 8);
    std::copy_n(record.begin() + index * 8, n, chunk.begin());
    EXPECT_TRUE(MailboxCommand(sim.link_, sim.clock_, sim::kMailboxCommandSettings,
                               sim::kSubString1, index, static_cast<uint8_t>(n), chunk.data()));
  }
  EXPECT_EQ(sim.device_->mailbox().StringText(0), "KORVALEN AB");
}

TEST(MailboxFlow, SilentFirmwareStillEndsAfterTwentyPolls) {
  SimLink sim(sim::kSimOrbit, sim::kDefaultFlashModel);
  sim.device_->faults().mailbox_silent = true;
  std::array<uint8_t, 4> read = {9, 9, 9, 9};
  EXPECT_TRUE(MailboxCommand(sim.link_, sim.clock_, sim::kMailboxCommandSettings,
                             sim::kSubSettingsRead, 0, 4, read.data()));
  EXPECT_EQ(sim.clock_.SleepCalls(), 20u);
}

}  // namespace
}  // namespace korvalen

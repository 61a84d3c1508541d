// A full manual erase / program / read-back for every flash model, through
// raw vendor requests on both driver channels: this proves the model before
// the product code uses it.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/FlashModels.h"
#include "tests/sim/SimBench.h"

namespace korvalen::sim {
namespace {

using testing::SimBench;

std::vector<uint8_t> Pattern(size_t count, uint8_t seed) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

std::vector<uint8_t> Address(uint8_t opcode, uint32_t address) {
  return {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
}

class ManualFlash : public ::testing::TestWithParam<const FlashModel*> {};

// Programs `data` at `address` the way the part wants it: page by page with
// 0x02, or SST auto-address-increment words ended by write disable.
void Program(SimBench& bench, const FlashModel& model, uint32_t address,
             const std::vector<uint8_t>& data) {
  if (model.write_mode == FlashWriteMode::kAaiWord) {
    ASSERT_TRUE(bench.FlashWrite({0x06}));
    auto first = Address(0xAD, address);
    first.push_back(data[0]);
    first.push_back(data[1]);
    ASSERT_TRUE(bench.FlashWrite(first));
    for (size_t i = 2; i < data.size(); i += 2) {
      ASSERT_TRUE(bench.FlashWrite({0xAD, data[i], data[i + 1]}));
    }
    ASSERT_TRUE(bench.FlashWrite({0x04}));
    EXPECT_EQ(bench.WaitIdle(), 0);
    return;
  }
  for (size_t offset = 0; offset < data.size(); offset += model.page_size) {
    ASSERT_TRUE(bench.FlashWrite({0x06}));
    ASSERT_TRUE(bench.FlashWrite(Address(0x02, address + offset), 0));
    ASSERT_TRUE(bench.FlashWrite(
        std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + model.page_size)));
    bench.WaitIdle();
  }
}

std::vector<uint8_t> ReadBack(SimBench& bench, uint32_t address, size_t count) {
  std::vector<uint8_t> out;
  while (out.size() < count) {
    const auto chunk = bench.ReadFlash(address + out.size(), 64);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  out.resize(count);
  return out;
}

void EraseProgramReadBack(const SimIdentity& identity, const FlashModel& model) {
  SimBench bench(identity, model.name);
  bench.device->flash().Fill(0x00);  // a sentinel: nothing reads blank unless erased
  bench.device->flash().SetStatusBits(model.block_protect_mask);  // shipped protected
  bench.EnterIsp();

  EXPECT_EQ(bench.Command({0x9F}, 3),
            std::vector<uint8_t>(model.jedec_id.begin(), model.jedec_id.end()));
  // Clear the protection, erase the chip and wait for it.
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite({0x01, 0x00}));
  bench.WaitIdle();
  EXPECT_EQ(bench.Status(), 0x00);
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  EXPECT_EQ(bench.Status() & 0x02, 0x02) << "write enable latch";
  ASSERT_TRUE(bench.FlashWrite({0xC7}));
  EXPECT_GT(bench.WaitIdle(), 0) << "a chip erase takes time";
  EXPECT_EQ(bench.Status(), 0x00);
  EXPECT_EQ(ReadBack(bench, 0, 1024), std::vector<uint8_t>(1024, 0xFF));

  const auto data = Pattern(1024, 0x31);
  Program(bench, model, 0x000400, data);
  EXPECT_EQ(ReadBack(bench, 0x000400, 1024), data);
  EXPECT_EQ(ReadBack(bench, 0, 0x400), std::vector<uint8_t>(0x400, 0xFF));
  EXPECT_EQ(ReadBack(bench, 0x800, 64), std::vector<uint8_t>(64, 0xFF));

  // A 4 KB sector erase clears exactly its sector.
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite(Address(0x20, 0x000000)));
  EXPECT_GT(bench.WaitIdle(), 0);
  EXPECT_EQ(bench.device->flash().Read(0, 4096), std::vector<uint8_t>(4096, 0xFF));

  // Protect again and leave ISP mode.
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite({0x01, 0xFF}));
  bench.WaitIdle();
  EXPECT_EQ(bench.Status(), model.writable_mask);
  bench.LeaveIsp();
  EXPECT_FALSE(bench.device->IspMode());
  EXPECT_EQ(bench.device->RejectedCount(), 0u);
}

TEST_P(ManualFlash, EraseProgramReadBackOnAudioDriverChannel) {
  EraseProgramReadBack(kSimTide, *GetParam());
}

TEST_P(ManualFlash, EraseProgramReadBackOnDeviceInterfaceChannel) {
  EraseProgramReadBack(kSimUpdate0C3D, *GetParam());
}

std::vector<const FlashModel*> AllModels() {
  std::vector<const FlashModel*> models;
  for (const FlashModel& model : FlashModels()) models.push_back(&model);
  return models;
}

INSTANTIATE_TEST_SUITE_P(AllModels, ManualFlash, ::testing::ValuesIn(AllModels()),
                         [](const auto& info) { return std::string(info.param->name); });

// The update's chunk rule matters: a tool that page-programs an SST part
// gets one byte per command, so verify visibly fails.
TEST(ManualFlashMistakes, PageProgramOnSstWritesOneBytePerCommand) {
  SimBench bench(kSimOrbit, kFlashSst25vf020b);
  bench.EnterIsp();
  const auto data = Pattern(256, 0x10);
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite(Address(0x02, 0x100), 0));
  ASSERT_TRUE(bench.FlashWrite(data));
  bench.WaitIdle();
  const auto back = bench.device->flash().Read(0x100, 256);
  EXPECT_EQ(back[0], data[0]);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 1, back.end()), std::vector<uint8_t>(255, 0xFF));
}

// 256-byte chunks on the 32-byte-page part wrap inside the page: only the
// last 32 bytes survive, ANDed over the earlier ones.
TEST(ManualFlashMistakes, LongPageProgramWrapsInsideThe32BytePage) {
  SimBench bench(kSimOrbit, kFlashMx25l1021e);
  bench.EnterIsp();
  std::vector<uint8_t> data(256, 0xFF);
  data[0] = 0x0F;    // offset 0 of the page, latched first
  data[224] = 0xF3;  // offset 0 again, latched last: it wins
  data[255] = 0x55;  // offset 31
  ASSERT_TRUE(bench.FlashWrite({0x06}));
  ASSERT_TRUE(bench.FlashWrite(Address(0x02, 0x000), 0));
  ASSERT_TRUE(bench.FlashWrite(data));
  bench.WaitIdle();
  const auto back = bench.device->flash().Read(0, 64);
  EXPECT_EQ(back[0], 0xF3);
  EXPECT_EQ(back[31], 0x55);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 32, back.end()), std::vector<uint8_t>(32, 0xFF));
}

}  // namespace
}  // namespace korvalen::sim

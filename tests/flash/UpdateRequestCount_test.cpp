// The one-click update sends exactly the requests its rules call for: the
// count of every step is worked out here from those rules (per 64-byte read
// chunk, per program chunk, per status poll against the part's busy time)
// and compared with what the simulated device received. An extra poll, a
// lost step or a chunk programmed twice changes a count.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "flash/UpdateSequences.h"
#include "image/FirmwareImage.h"
#include "link/NorvaneUsb.h"
#include "sim/FlashModels.h"
#include "sim/SimDevice.h"
#include "sim/SimDriver.h"
#include "sim/VirtualClock.h"

namespace korvalen::testing {
namespace {

// Requests the device has received when each step of the update began and
// ended (the first time it did).
class StepMarks : public FlashView {
 public:
  explicit StepMarks(sim::SimDevice& device) : device_(device) {}
  void ShowProcessInfo(std::string_view) override {}
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void PumpMessages() override {}
  void StepBegan(SequenceKind, UpdateStep step) override {
    began.try_emplace(step, device_.RequestCount());
  }
  void StepEnded(const StepEnd& end) override {
    ended.try_emplace(end.step, device_.RequestCount());
  }

  static uint64_t At(const std::map<UpdateStep, uint64_t>& marks, UpdateStep step) {
    const auto found = marks.find(step);
    if (found != marks.end()) return found->second;
    ADD_FAILURE() << "step never reached: " << static_cast<int>(step);
    return 0;
  }
  uint64_t Began(UpdateStep step) const { return At(began, step); }
  uint64_t Ended(UpdateStep step) const { return At(ended, step); }
  std::map<UpdateStep, uint64_t> began;
  std::map<UpdateStep, uint64_t> ended;

 private:
  sim::SimDevice& device_;
};

// The request counts of one update, step by step.
struct Counts {
  uint64_t enter_isp = 0, clear_status = 0, erase = 0, blank = 0, program = 0, verify = 0,
           protect_and_leave = 0;
  bool operator==(const Counts&) const = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
  *os << "{enter " << c.enter_isp << ", clear " << c.clear_status << ", erase " << c.erase
      << ", blank " << c.blank << ", program " << c.program << ", verify " << c.verify
      << ", protect+leave " << c.protect_and_leave << "}";
}

// ---- The rules, in device time (microseconds) ------------------------------
// Every request costs the latency L and is handled at its end; the chip's
// SPI engine has an answer ready setup + 8 us per byte (command and answer)
// after the command; a status read is command, ready polls, fetch.

struct Timing {
  uint64_t latency;
  uint64_t spi_setup;
  uint64_t spi_byte;
  uint64_t AnswerReadyAfter(uint64_t command_bytes, uint64_t answer_bytes) const {
    return spi_setup + spi_byte * (command_bytes + answer_bytes);
  }
};

// Ready polls back to back (ID and status reads): the first poll is handled
// one latency after the command.
uint64_t BackToBackPolls(const Timing& t, uint64_t ready_after) {
  uint64_t polls = 1;
  while (polls * t.latency < ready_after) ++polls;
  return polls;
}

// Ready polls of a 64-byte data read: 1 ms wait after every poll not ready.
uint64_t ReadPolls(const Timing& t) {
  const uint64_t ready_after = t.AnswerReadyAfter(4, 64);
  uint64_t polls = 1;
  uint64_t at = t.latency;
  while (at < ready_after) {
    at += 1000 + t.latency;
    ++polls;
  }
  return polls;
}

uint64_t StatusReadRequests(const Timing& t) {
  return 2 + BackToBackPolls(t, t.AnswerReadyAfter(1, 1));
}

// Status reads of a wait that starts `first_read_at` after the flash went
// busy for `busy` and sleeps `sleep` after every busy read.
uint64_t StatusReadsUntilIdle(const Timing& t, uint64_t first_read_at, uint64_t busy,
                              uint64_t sleep) {
  const uint64_t read_cost = StatusReadRequests(t) * t.latency;
  uint64_t reads = 1;
  for (uint64_t at = first_read_at; at < busy; at += read_cost + sleep) ++reads;
  return reads;
}

bool Blank(const FirmwareImage& image, uint32_t at, uint32_t size) {
  for (uint32_t i = at; i < at + size; ++i)
    if (image.bytes[i] != kErasedByte) return false;
  return true;
}

Counts Expected(const sim::FlashModel& model, const FirmwareImage& image, const Timing& t) {
  const uint64_t status_read = StatusReadRequests(t);
  const uint64_t read_chunk = 2 + ReadPolls(t);
  const uint64_t chunks64 = (image.length + 63) / 64;
  // Status write: sent, then the wait's first read one latency later, 10 ms
  // between reads.
  const uint64_t status_wait_reads =
      StatusReadsUntilIdle(t, t.latency, model.write_status_us, 10000);

  Counts c;
  // Enter (1) and pin routing (3); the ID read.
  c.enter_isp = 4 + 2 + BackToBackPolls(t, t.AnswerReadyAfter(1, 3));
  const bool aai = model.jedec_id[0] == 0xBF;
  // Status read, write enable, status write, wait. A word-program part
  // first gets a write disable and a status read that shows the sequence
  // closed.
  c.clear_status = status_read + 2 + status_read * status_wait_reads;
  if (aai) c.clear_status += 1 + status_read;
  // Write enable, chip erase, 10 ms, then reads 10 ms apart.
  c.erase = 2 + status_read * StatusReadsUntilIdle(t, 10000 + t.latency, model.chip_erase_us,
                                                   10000);
  c.blank = chunks64 * read_chunk;
  c.verify = chunks64 * read_chunk;

  const uint32_t chunk = (model.jedec_id[0] == 0xC2 && model.jedec_id[1] == 0x22) ? 32 : 256;
  if (aai) {
    // One status read up front; every chunk gets a write enable, a chunk
    // with data its words (two bytes each) and a write disable.
    c.program = status_read;
    bool programmed = false;
    for (uint32_t at = 0; at < image.length; at += chunk) {
      c.program += 1;
      if (Blank(image, at, chunk)) continue;
      c.program += chunk / 2 + 1;
      programmed = true;
    }
    // A status read after the last write disable shows the sequence closed.
    if (programmed) c.program += status_read;
  } else {
    // Ready polls after the data packet: 1 ms, then a poll, until the SPI
    // engine has shifted the chunk.
    const uint64_t shifted = t.spi_setup + t.spi_byte * chunk;
    uint64_t ready_polls = 1;
    while (ready_polls * (1000 + t.latency) < shifted && ready_polls < 10) ++ready_polls;
    // The next chunk's status wait starts when those polls are done.
    const uint64_t next_status_at = ready_polls * (1000 + t.latency) + t.latency;
    bool first = true;
    for (uint32_t at = 0; at < image.length; at += chunk) {
      if (Blank(image, at, chunk)) continue;
      const uint64_t reads =
          first ? 1 : StatusReadsUntilIdle(t, next_status_at, model.page_program_us, 1000);
      first = false;
      // Status reads, write enable, address packet, data packet, ready polls.
      c.program += status_read * reads + 3 + ready_polls;
    }
  }
  // Write enable, protection value, wait; leave ISP mode (1) and routing (2).
  c.protect_and_leave = 2 + status_read * status_wait_reads + 3;
  return c;
}

// ---- The measured side ------------------------------------------------------

Counts Measured(const StepMarks& view, uint64_t end) {
  Counts c;
  c.enter_isp = view.Began(UpdateStep::kStatusClear) - view.Began(UpdateStep::kIspEntry);
  c.clear_status = view.Began(UpdateStep::kErase) - view.Began(UpdateStep::kStatusClear);
  c.erase = view.Began(UpdateStep::kBlankCheck) - view.Began(UpdateStep::kErase);
  c.blank = view.Ended(UpdateStep::kBlankCheck) - view.Began(UpdateStep::kBlankCheck);
  c.program = view.Ended(UpdateStep::kProgram) - view.Began(UpdateStep::kProgram);
  c.verify = view.Ended(UpdateStep::kVerify) - view.Began(UpdateStep::kVerify);
  c.protect_and_leave = end - view.Ended(UpdateStep::kVerify);
  return c;
}

// A firmware-like image: a pattern with an erased page, an erased 32-byte
// run, a 4 KiB erased block and an end inside a read chunk.
std::unique_ptr<FirmwareImage> MakeImage(uint32_t flash_size) {
  auto image = std::make_unique<FirmwareImage>();
  FillImage(*image, kErasedByte);
  const uint32_t length = std::min<uint32_t>(flash_size, kFirmwareImageSize) - 0x30;
  for (uint32_t i = 0; i < length; ++i) image->bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  std::fill_n(image->bytes.begin() + 0x20, 0x20, kErasedByte);
  std::fill_n(image->bytes.begin() + 0x100, 0x100, kErasedByte);
  std::fill_n(image->bytes.begin() + 0x8000, 0x1000, kErasedByte);
  image->length = length;
  return image;
}

struct Case {
  const sim::FlashModel* model;
  uint32_t latency_us;
};

class UpdateRequestCount : public ::testing::TestWithParam<Case> {};

TEST_P(UpdateRequestCount, EveryStepSendsWhatItsRulesCallFor) {
  const sim::FlashModel& model = *GetParam().model;
  sim::VirtualClock clock;
  sim::SimDriver driver;
  auto device = std::make_shared<sim::SimDevice>(clock, sim::kSimUpdate5E1A, model);
  device->timing().request_latency_us = GetParam().latency_us;
  driver.Attach(device);
  NorvaneUsb link(driver);
  link.SetDriverKind(kDeviceInterfaceChannel);
  link.SetDeviceId(sim::kSimUpdate5E1A.id_text);
  ASSERT_TRUE(link.Probe());
  auto image = MakeImage(model.size);
  StepMarks view(*device);
  FlashOperations ops(link, clock, view, *image);
  UpdateSequences sequences(link, clock, view, ops);

  const uint64_t before = device->RequestCount();
  ASSERT_TRUE(sequences.RunOneClickUpdate().success);
  EXPECT_EQ(view.Began(UpdateStep::kIspEntry), before);

  const Timing timing{GetParam().latency_us, device->timing().spi_setup_us,
                      device->timing().spi_byte_us};
  EXPECT_EQ(Measured(view, device->RequestCount()), Expected(model, *image, timing));
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const sim::FlashModel& model : sim::FlashModels())
    for (uint32_t latency : {250u, 660u}) cases.push_back({&model, latency});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(FlashModels, UpdateRequestCount, ::testing::ValuesIn(Cases()),
                         [](const auto& info) {
                           return std::string(info.param.model->name) + "_" +
                                  std::to_string(info.param.latency_us) + "us";
                         });

}  // namespace
}  // namespace korvalen::testing

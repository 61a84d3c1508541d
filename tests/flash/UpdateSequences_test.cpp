// The one-click update and the Auto sequence against the simulated device,
// with the flash pre-filled with a sentinel so untouched bytes show.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

constexpr uint8_t kSentinel = 0x00;
constexpr uint32_t kImageLength = 0x2400;

const std::vector<std::string> kCleanUpdateSteps = {
    "Enter ISP Mode",    "Clear Status register",   "Flash Erase All ",    "Start Blanking Check",
    "Blanking Success",  "Start Programming",       "Programming Success", "Start Verifying Check",
    "Verifying Success", "Firmware update success!"};

// Status values written, in order.
std::vector<uint8_t> StatusWrites(const SpyDriver& spy) {
  std::vector<uint8_t> values;
  for (const SpiedTransfer& t : spy.FlashWritesOf(kOpWriteStatus))
    if (t.data.size() == 2) values.push_back(t.data[1]);
  return values;
}

bool IspRequestSent(const SpyDriver& spy) {
  return std::any_of(spy.transfers.begin(), spy.transfers.end(), [](const SpiedTransfer& t) {
    return t.setup.request == kRequestEnterIsp || t.setup.request == kRequestLeaveIsp;
  });
}

// A device ready for the one-click update: sentinel flash, a patterned image
// with an erased hole that programming skips.
void PrepareUpdate(FlashBench& bench) {
  bench.device_->flash().Fill(kSentinel);
  bench.LoadPattern(kImageLength);
  std::fill_n(bench.image_->bytes.begin() + 0x1000, 0x100, kErasedByte);
}

// Positions of the chip-erase commands among the transfers.
std::vector<size_t> ChipEraseIndices(const SpyDriver& spy) {
  std::vector<size_t> found;
  for (size_t i = 0; i < spy.transfers.size(); ++i) {
    const SpiedTransfer& t = spy.transfers[i];
    if (t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpChipErase})
      found.push_back(i);
  }
  return found;
}

size_t ChipErasesSent(const SpyDriver& spy) { return ChipEraseIndices(spy).size(); }

void ExpectDeviceLeftAlone(FlashBench& bench) {
  EXPECT_FALSE(bench.device_->IspMode());
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
  EXPECT_FALSE(bench.sequences_.Running());
}

class OneClickOnEachModel : public ::testing::TestWithParam<sim::FlashModel> {};

TEST_P(OneClickOnEachModel, CleanUpdateWritesTheImageAndProtectsTheFlash) {
  const sim::FlashModel& model = GetParam();
  FlashBench bench(model);
  PrepareUpdate(bench);
  bench.sequences_.BeginOneClick();
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();

  EXPECT_TRUE(result.success);
  EXPECT_FALSE(result.refused);
  EXPECT_EQ(result.verdict.verdict, Verdict::kSuccess);
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), bench.ImageBytes(0, kImageLength));
  // The chip erase reached past the image.
  EXPECT_EQ(bench.FlashBytes(kImageLength, 0x100), std::vector<uint8_t>(0x100, 0xFF));
  EXPECT_EQ(Steps(bench.view_, Target::kUpdateStatus), kCleanUpdateSteps);
  EXPECT_EQ(bench.view_.colour(), StatusColour::kBlue);
  EXPECT_EQ(bench.view_.size(), StatusSize::kLarge);

  const uint8_t protection = model.jedec_id[0] == 0xBF ? 0x7F : 0xFF;
  EXPECT_EQ(StatusWrites(bench.spy_), (std::vector<uint8_t>{0x00, protection}));
  EXPECT_EQ(bench.device_->flash().Status() & model.block_protect_mask, model.block_protect_mask);
  EXPECT_TRUE(bench.sequences_.flags().update_finished);
  EXPECT_TRUE(result.left_update_mode);
  EXPECT_TRUE(bench.view_.Texts(Target::kUpdateNotice).empty());
  ExpectDeviceLeftAlone(bench);
}

INSTANTIATE_TEST_SUITE_P(FlashModels, OneClickOnEachModel,
                         ::testing::ValuesIn(sim::FlashModels().begin(), sim::FlashModels().end()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OneClick, WeakCellFailsOnceThenTheSecondAttemptSucceeds) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.device_->flash().AddWeakCell(0x123, 1);
  const uint64_t slept_before = bench.clock_.SleptMicros();
  EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);

  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 1u);
  EXPECT_EQ(bench.view_.Count(Target::kProcessInfo, "Verifying Fail at 0x000123"), 1u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 2u);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update success!");
  EXPECT_GE(bench.clock_.SleptMicros() - slept_before, 1'000'000u);

  // The retry text is red while it stands, then the colour returns.
  const auto& events = bench.view_.Events();
  const auto retry = std::find_if(events.begin(), events.end(),
                                  [](const auto& e) { return e.text == "ISP Fail and retry"; });
  ASSERT_NE(retry, events.end());
  std::vector<StatusColour> colours;
  for (auto it = retry; it != events.end() && colours.size() < 2; ++it)
    if (it->target == Target::kUpdateStyle) colours.push_back(it->colour);
  EXPECT_EQ(colours, (std::vector<StatusColour>{StatusColour::kRed, StatusColour::kWindowText}));
}

TEST(OneClick, DeviceThatFailsEveryAttemptStillGetsProtectionAndLeavesIsp) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.device_->flash().AddWeakCell(0x123, 100);
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();

  EXPECT_FALSE(result.success);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 3u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 3u);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update Fail!");
  EXPECT_EQ(bench.view_.colour(), StatusColour::kRed);
  EXPECT_EQ(bench.view_.size(), StatusSize::kLarge);
  EXPECT_EQ(StatusWrites(bench.spy_).back(), 0xFF);
  ExpectDeviceLeftAlone(bench);
}

TEST(OneClick, FailedBlankCheckSkipsProgramAndVerify) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.device_->flash().AddReadFlip(0x40, 0x01, 100);
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Blanking Success"), 0u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Start Programming"), 0u);
  EXPECT_EQ(bench.device_->flash().stats().page_programs, 0u);
}

TEST(OneClick, DeviceVanishingMidProgramEndsAtOnce) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kProcessAddress) == "0x000400") bench.faults_.VanishNow();
  };
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update Fail!");
  // Gone is not busy: no retry, no wait run to its limit.
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 0u);
  EXPECT_EQ(bench.view_.Texts(Target::kUpdateNotice).size(), 1u);
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
}

TEST(OneClick, EmptyImageIsRefusedWithoutTouchingTheDevice) {
  FlashBench bench;
  bench.image_->length = 0;
  bench.sequences_.BeginOneClick();
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(bench.spy_.transfers.empty());
  EXPECT_TRUE(bench.view_.Last(Target::kUpdateStatus).starts_with("Firmware update Fail!"));
  EXPECT_NE(bench.view_.Last(Target::kUpdateStatus).find("empty"), std::string::npos);
  EXPECT_EQ(bench.view_.colour(), StatusColour::kRed);
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
}

TEST(OneClick, CancelAtTheWarningSendsNothing) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.sequences_.BeginOneClick();
  EXPECT_TRUE(bench.sequences_.flags().sequence_busy);
  bench.sequences_.CancelOneClick();
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Abort Firmware update process");
  EXPECT_EQ(bench.view_.colour(), StatusColour::kRed);
  EXPECT_EQ(bench.view_.size(), StatusSize::kLarge);
  EXPECT_TRUE(bench.spy_.transfers.empty());
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
  EXPECT_FALSE(bench.sequences_.flags().update_finished);
  EXPECT_EQ(bench.sequences_.StartButtonAction(), ClickAction::kStart);
}

TEST(OneClick, StopDuringProgrammingEndsWithoutRetryButStillProtects) {
  FlashBench bench;
  PrepareUpdate(bench);
  ClickAction start_action = ClickAction::kStart;
  ClickAction auto_action = ClickAction::kStart;
  std::optional<std::string> nested_chip_id = "not called";
  bench.view_.on_pump = [&](size_t) {
    if (bench.view_.Last(Target::kUpdateStatus) != "Start Programming") return;
    start_action = bench.sequences_.StartButtonAction();
    auto_action = bench.sequences_.AutoButtonAction();
    nested_chip_id = bench.ops_.ChipIdText();
    bench.sequences_.RequestStop();
  };
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);

  EXPECT_EQ(start_action, ClickAction::kStop);
  EXPECT_EQ(auto_action, ClickAction::kIgnore);
  EXPECT_EQ(nested_chip_id, std::nullopt);  // a nested button leaves the link alone
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 0u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
  EXPECT_EQ(bench.device_->flash().stats().page_programs, 0u);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update Fail!");
  EXPECT_EQ(StatusWrites(bench.spy_).back(), 0xFF);
  ExpectDeviceLeftAlone(bench);
  EXPECT_EQ(bench.sequences_.StartButtonAction(), ClickAction::kIgnore);  // finished
}

TEST(OneClick, StopDuringTheEraseLetsItFinishBeforeProtecting) {
  const sim::FlashModel& model = *sim::FindFlashModel(sim::kFlashMx25l2006e);
  FlashBench bench(model);
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (ChipErasesSent(bench.spy_) > 0) bench.sequences_.RequestStop();
  };
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(ChipErasesSent(bench.spy_), 1u);
  // A protection write sent while the erase ran would have been dropped.
  EXPECT_EQ(bench.device_->flash().stats().status_writes, 2u);
  EXPECT_EQ(bench.device_->flash().Status() & model.block_protect_mask, model.block_protect_mask);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Start Blanking Check"), 0u);
  ExpectDeviceLeftAlone(bench);
}

TEST(OneClick, StopAskedJustBeforeTheEraseKeepsTheFlash) {
  FlashBench bench;
  PrepareUpdate(bench);
  // The pump that shows the erase text is the last chance before the command.
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kUpdateStatus).starts_with("Flash Erase All"))
      bench.sequences_.RequestStop();
  };
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(ChipErasesSent(bench.spy_), 0u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 0u);
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), std::vector<uint8_t>(kImageLength, kSentinel));
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update Fail!");
  ExpectDeviceLeftAlone(bench);
}

TEST(OneClick, AttemptAfterATimedOutEraseRunsOnAFreshHandle) {
  FlashBench bench;
  PrepareUpdate(bench);
  // The first erase never finishes; the flash recovers before the retry.
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kUpdateStatus) == "Clear Status register" &&
        bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry") == 0)
      bench.device_->flash().SetStuckBusy(true);
    if (bench.view_.Last(Target::kUpdateStatus) == "ISP Fail and retry")
      bench.device_->flash().SetStuckBusy(false);
  };
  EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 1u);
  EXPECT_TRUE(bench.FlashBytes(0, kImageLength) == bench.ImageBytes(0, kImageLength));

  // Every chip erase is followed by an open before anything else is sent.
  const std::vector<size_t> erases = ChipEraseIndices(bench.spy_);
  ASSERT_EQ(erases.size(), 2u);
  for (size_t erase : erases) {
    const auto next_open = std::upper_bound(bench.spy_.opened_at.begin(),
                                            bench.spy_.opened_at.end(), erase);
    ASSERT_NE(next_open, bench.spy_.opened_at.end()) << "no open after the erase at " << erase;
    EXPECT_LT(*next_open, erases.back() == erase ? bench.spy_.transfers.size() : erases.back())
        << "the attempt after the erase at " << erase << " ran on the old handle";
  }
  ExpectDeviceLeftAlone(bench);
}

TEST(OneClick, RefusedEntryLeavesFlagsAndCaptionAsTheyWere) {
  FlashBench bench;
  PrepareUpdate(bench);
  // Entries reached through the pump of an ISP page's blank check, which
  // owns the link meanwhile.
  bench.EnterIsp();
  std::optional<OneClickResult> result;
  std::optional<AutoResult> auto_result;
  bool busy_after_one_click = true;
  bool auto_began = true;
  bool running = true;
  bool busy_after_auto = true;
  bench.view_.on_pump = [&](size_t) {
    if (result) return;
    bench.sequences_.BeginOneClick();
    result = bench.sequences_.RunOneClickUpdate();
    busy_after_one_click = bench.sequences_.flags().sequence_busy;
    auto_result = bench.sequences_.RunAuto(AutoOptions{});
    auto_began = bench.sequences_.BeginAuto();
    running = bench.sequences_.Running();
    busy_after_auto = bench.sequences_.flags().sequence_busy;
  };
  bench.ops_.BlankCheck(true);
  ASSERT_TRUE(result && auto_result);
  EXPECT_FALSE(result->success);
  EXPECT_TRUE(result->refused);
  EXPECT_FALSE(busy_after_one_click);
  EXPECT_FALSE(bench.sequences_.flags().update_finished);
  EXPECT_FALSE(auto_result->success);
  EXPECT_FALSE(auto_began);
  EXPECT_FALSE(running);
  EXPECT_FALSE(busy_after_auto);
  EXPECT_FALSE(IspRequestSent(bench.spy_));
  EXPECT_EQ(ChipErasesSent(bench.spy_), 0u);
  EXPECT_EQ(bench.sequences_.StartButtonAction(), ClickAction::kStart);
  EXPECT_EQ(bench.sequences_.AutoButtonAction(), ClickAction::kStart);

  // A one-click entry refused while Auto runs leaves Auto's flags alone.
  bool refused_while_auto = false;
  bool busy_after_refusal = false;
  bench.view_.on_pump = [&](size_t) {
    if (refused_while_auto || bench.view_.Last(Target::kProcessInfo) != "Start Programming") return;
    refused_while_auto = !bench.sequences_.RunOneClickUpdate().success;
    busy_after_refusal = bench.sequences_.flags().sequence_busy;
  };
  EXPECT_TRUE(bench.sequences_.RunAuto(AutoOptions{}).success);
  EXPECT_TRUE(refused_while_auto);
  EXPECT_TRUE(busy_after_refusal);
  EXPECT_FALSE(bench.sequences_.flags().update_finished);
}

// ---- Word-program sequences left open, devices that do not confirm the end ----

bool IsWriteDisable(const SpiedTransfer& t) {
  return t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpWriteDisable};
}

// The whole flash: the image, then erased bytes to the end.
void ExpectImageThenErased(FlashBench& bench, uint32_t length) {
  const uint32_t size = bench.device_->flash().model().size;
  EXPECT_EQ(bench.FlashBytes(0, length), bench.ImageBytes(0, length));
  const std::vector<uint8_t> rest = bench.FlashBytes(length, size - length);
  const auto programmed = std::find_if(rest.begin(), rest.end(), [](uint8_t b) { return b != 0xFF; });
  EXPECT_EQ(programmed, rest.end()) << "programmed byte past the image at 0x" << std::hex
                                    << length + (programmed - rest.begin());
}

TEST(OneClick, LostWriteDisableAfterTheLastWordChunkIsCaughtAndRetriedHonestly) {
  // A clean run tells which request ends the last word-program chunk.
  uint64_t last_write_disable = 0;
  {
    FlashBench clean(sim::kFlashSst25vf020b);
    PrepareUpdate(clean);
    ASSERT_TRUE(clean.sequences_.RunOneClickUpdate().success);
    const auto& sent = clean.spy_.transfers;
    const auto last = std::find_if(sent.rbegin(), sent.rend(), IsWriteDisable);
    ASSERT_NE(last, sent.rend());
    last_write_disable = static_cast<uint64_t>(sent.rend() - last);
  }

  FlashBench bench(sim::kFlashSst25vf020b);
  PrepareUpdate(bench);
  bench.faults_.RejectRequest(last_write_disable);
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();

  EXPECT_EQ(bench.faults_.FaultsInjected(), 1u);
  // The part stayed in the sequence (write enable latch and AAI bit set)
  // and said so instead of ignoring the erase of the next attempt.
  EXPECT_EQ(bench.view_.Count(Target::kProcessInfo, "Flash still in word-program mode, status 0x42"),
            1u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 1u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 2u);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update success!");
  ExpectImageThenErased(bench, kImageLength);
  EXPECT_FALSE(bench.device_->flash().InAaiMode());
  ExpectDeviceLeftAlone(bench);
}

TEST(OneClick, PartStuckInWordProgrammingIsNeverErasedOrBlankCheckedAgain) {
  FlashBench bench(sim::kFlashSst25vf020b);
  PrepareUpdate(bench);
  // Once the first word went out, no write disable reaches the part.
  bool words_sent = false;
  bench.spy_.refuse = [&](const SpiedTransfer& t) {
    if (t.setup.request == kRequestFlashWrite && !t.data.empty() && t.data[0] == kOpAaiProgram)
      words_sent = true;
    return words_sent && IsWriteDisable(t);
  };
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);

  const std::string still_open = "Flash still in word-program mode, status 0x42";
  // The program step of the first attempt, then the start of each retry.
  EXPECT_EQ(bench.view_.Count(Target::kProcessInfo, still_open), 3u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, still_open), 2u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Start Blanking Check"), 1u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Blanking Success"), 1u);
  EXPECT_EQ(Steps(bench.view_, Target::kUpdateStatus).back(), "Firmware update Fail!");
  const std::vector<std::string> steps = Steps(bench.view_, Target::kUpdateStatus);
  EXPECT_EQ(std::count(steps.begin(), steps.end(), "Flash Erase All "), 1);
}

// Which request of the update's end the device does not take.
struct LostEnd {
  const char* name;
  std::function<bool(const SpiedTransfer&)> refuse;
};

TEST(OneClick, DeviceThatDoesNotConfirmLeavingUpdateModeGetsTheNotice) {
  const std::vector<LostEnd> cases = {
      {"protection status write",
       [](const SpiedTransfer& t) {
         return t.setup.request == kRequestFlashWrite &&
                t.data == std::vector<uint8_t>{kOpWriteStatus, 0xFF};
       }},
      {"exit from ISP mode",
       [](const SpiedTransfer& t) { return t.setup.request == kRequestLeaveIsp; }},
  };
  for (const LostEnd& lost : cases) {
    SCOPED_TRACE(lost.name);
    FlashBench bench;
    PrepareUpdate(bench);
    bench.spy_.refuse = lost.refuse;
    const OneClickResult result = bench.sequences_.RunOneClickUpdate();
    // The flash holds the image, so the verdict stays; the notice follows it.
    EXPECT_TRUE(result.success);
    EXPECT_FALSE(result.left_update_mode);
    EXPECT_EQ(Steps(bench.view_, Target::kUpdateStatus), kCleanUpdateSteps);
    EXPECT_EQ(bench.view_.Texts(Target::kUpdateNotice),
              std::vector<std::string>{DefaultWording().still_in_update_mode});
    EXPECT_EQ(bench.view_.Events().back().target, Target::kUpdateNotice);
  }

  // Gone after the verify: nothing of the end reaches the device.
  FlashBench bench;
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kUpdateStatus) == "Verifying Success") bench.faults_.VanishNow();
  };
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();
  EXPECT_TRUE(result.success);
  EXPECT_FALSE(result.left_update_mode);
  EXPECT_EQ(bench.view_.Last(Target::kUpdateNotice), DefaultWording().still_in_update_mode);
}

// ---- Auto sequence -------------------------------------------------------------

TEST(Auto, StopDuringTheStatusClearSendsNoErase) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kProcessInfo) == "Clear Status register")
      bench.sequences_.RequestStop();
  };
  const AutoResult result = bench.sequences_.RunAuto(AutoOptions{});
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(ChipErasesSent(bench.spy_), 0u);
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), std::vector<uint8_t>(kImageLength, kSentinel));
  ExpectDeviceLeftAlone(bench);

  // The same on an assigned range: no sector erase goes out either.
  FlashBench ranged;
  PrepareUpdate(ranged);
  ranged.view_.on_pump = [&ranged](size_t) {
    if (ranged.view_.Last(Target::kProcessInfo) == "Clear Status register")
      ranged.sequences_.RequestStop();
  };
  EXPECT_FALSE(
      ranged.sequences_.RunAuto(AutoOptions{.all_range = false, .start_kb = 64, .size_kb = 64})
          .success);
  EXPECT_TRUE(ranged.spy_.FlashWritesOf(kOpSectorErase).empty());
  EXPECT_EQ(ranged.FlashBytes(0, kImageLength), std::vector<uint8_t>(kImageLength, kSentinel));
}

TEST(Auto, EveryStepClearedOnlyReadsTheFlashId) {
  FlashBench bench;
  PrepareUpdate(bench);
  const AutoOptions options{.isp_mode = false,
                            .erase = false,
                            .blank = false,
                            .program = false,
                            .verify = false,
                            .protect = false};
  const AutoResult result = bench.sequences_.RunAuto(options);
  EXPECT_FALSE(result.stopped);
  EXPECT_EQ(bench.view_.Texts(Target::kProcessInfo), (std::vector<std::string>{"Enter ISP Mode"}));
  EXPECT_FALSE(IspRequestSent(bench.spy_));
  ASSERT_FALSE(bench.spy_.transfers.empty());
  EXPECT_EQ(bench.spy_.transfers.front().data, (std::vector<uint8_t>{kOpReadId}));
  EXPECT_EQ(bench.FlashBytes(0, 0x100), std::vector<uint8_t>(0x100, kSentinel));
  ExpectDeviceLeftAlone(bench);
}

TEST(Auto, AssignedRangeErasesSixteenSectorsAndProgramsFromItsStart) {
  FlashBench bench;
  PrepareUpdate(bench);
  const AutoOptions options{.all_range = false, .start_kb = 64, .size_kb = 64};
  const AutoResult result = bench.sequences_.RunAuto(options);

  EXPECT_TRUE(result.success);
  EXPECT_EQ(bench.device_->flash().stats().sector_erases, 16u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 0u);
  EXPECT_EQ(bench.FlashBytes(0x10000, kImageLength), bench.ImageBytes(0, kImageLength));
  const uint32_t rest = 0x20000 - 0x10000 - kImageLength;
  EXPECT_EQ(bench.FlashBytes(0x10000 + kImageLength, rest), std::vector<uint8_t>(rest, 0xFF));
  EXPECT_EQ(bench.FlashBytes(0xFFFF, 1), std::vector<uint8_t>{kSentinel});
  EXPECT_EQ(bench.FlashBytes(0x20000, 1), std::vector<uint8_t>{kSentinel});

  const auto steps = Steps(bench.view_, Target::kProcessInfo);
  ASSERT_EQ(steps.size(), 3u + 16u + 6u);
  EXPECT_EQ(steps[2], "Flash Sector Erase");
  EXPECT_EQ(steps[3], "Flash Sector Erase: 0x 010000");
  EXPECT_EQ(steps[18], "Flash Sector Erase: 0x 01F000");
  EXPECT_EQ(steps.back(), "Verifying Success");
  EXPECT_EQ(bench.ops_.flash_range_start(), 0x10000u);
  EXPECT_TRUE(StatusWrites(bench.spy_) == std::vector<uint8_t>{0x00});  // no protection box
  ExpectDeviceLeftAlone(bench);
}

TEST(Auto, StopBetweenStepsSkipsTheRestAndStillLeavesIsp) {
  FlashBench bench;
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kProcessInfo) == "Blanking Success") {
      EXPECT_EQ(bench.sequences_.AutoButtonAction(), ClickAction::kStop);
      bench.sequences_.RequestStop();
    }
  };
  const AutoResult result = bench.sequences_.RunAuto(AutoOptions{.protect = true});
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Stopped");
  EXPECT_EQ(bench.device_->flash().stats().page_programs, 0u);
  EXPECT_EQ(StatusWrites(bench.spy_).back(), 0xFF);
  ExpectDeviceLeftAlone(bench);
}

TEST(Auto, RefusesWhatWouldEraseWithNothingToProgram) {
  FlashBench bench;
  bench.device_->flash().Fill(kSentinel);
  bench.image_->length = 0;
  EXPECT_FALSE(bench.sequences_.RunAuto(AutoOptions{}).success);
  EXPECT_TRUE(bench.spy_.transfers.empty());
  EXPECT_FALSE(bench.sequences_.RunAuto(AutoOptions{.all_range = false, .start_kb = -4}).success);
  EXPECT_TRUE(bench.spy_.transfers.empty());
  EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
}

TEST(Auto, PreconditionsNameTheMissingDeviceOrFile) {
  FlashBench bench;
  EXPECT_EQ(bench.sequences_.AutoPrecondition(false, ""), AutoBlocker::kFileNotReady);
  EXPECT_EQ(bench.sequences_.AutoPrecondition(false, "fw.hex"), AutoBlocker::kNone);
  EXPECT_EQ(bench.sequences_.AutoPrecondition(true, ""), AutoBlocker::kNone);
  bench.link_.ClearPresent();
  EXPECT_EQ(bench.sequences_.AutoPrecondition(true, "fw.hex"), AutoBlocker::kNoDevice);
  EXPECT_TRUE(bench.spy_.transfers.empty());
}

}  // namespace
}  // namespace korvalen::testing

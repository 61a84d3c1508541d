// The update sequences when the way in fails or the device goes away: an
// ISP entry or a flash ID read that did not succeed never lets an erase out,
// and a device that is gone ends the run at once with what to do.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/flash/FlashBench.h"

namespace korvalen::testing {
namespace {

constexpr uint8_t kSentinel = 0x00;
constexpr uint32_t kImageLength = 0x2400;
// The longest a gone device may hold the verdict up, in device time.
constexpr uint64_t kGoneVerdictMicros = 2'000'000;

void PrepareUpdate(FlashBench& bench) {
  bench.device_->flash().Fill(kSentinel);
  bench.LoadPattern(kImageLength);
}

bool IsChipErase(const SpiedTransfer& t) {
  return t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpChipErase};
}
bool IsIdRead(const SpiedTransfer& t) {
  return t.setup.request == kRequestFlashCommandRead && !t.data.empty() && t.data[0] == kOpReadId;
}
bool IsStatusWrite(const SpiedTransfer& t) {
  return t.setup.request == kRequestFlashWrite && t.data.size() == 2 && t.data[0] == kOpWriteStatus;
}
bool IsProtectionWrite(const SpiedTransfer& t) {
  return IsStatusWrite(t) && (t.data[1] == 0x7F || t.data[1] == 0xFF);
}

// Request number (counted from 1 after the bench was set up) of the first
// transfer of a clean update for which `is` holds.
uint64_t FirstRequestOfCleanRun(std::string_view model,
                                const std::function<bool(const SpiedTransfer&)>& is) {
  FlashBench clean(model);
  PrepareUpdate(clean);
  EXPECT_TRUE(clean.sequences_.RunOneClickUpdate().success);
  const auto& sent = clean.spy_.transfers;
  const auto found = std::find_if(sent.begin(), sent.end(), is);
  EXPECT_NE(found, sent.end());
  return static_cast<uint64_t>(found - sent.begin()) + 1;
}

size_t IndexOfFirst(const SpyDriver& spy, const std::function<bool(const SpiedTransfer&)>& is,
                    size_t from = 0) {
  for (size_t i = from; i < spy.transfers.size(); ++i)
    if (is(spy.transfers[i])) return i;
  return spy.transfers.size();
}

void ExpectImageThenErased(FlashBench& bench) {
  const uint32_t size = bench.device_->flash().model().size;
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), bench.ImageBytes(0, kImageLength));
  const std::vector<uint8_t> rest = bench.FlashBytes(kImageLength, size - kImageLength);
  const auto programmed =
      std::find_if(rest.begin(), rest.end(), [](uint8_t b) { return b != kErasedByte; });
  EXPECT_EQ(programmed, rest.end()) << "programmed byte past the image at 0x" << std::hex
                                    << kImageLength + (programmed - rest.begin());
}

// ---- The way in ----------------------------------------------------------------

class FailedIdRead : public ::testing::TestWithParam<std::string_view> {};

TEST_P(FailedIdRead, RejectedReadErasesNothingAndTheNextAttemptEntersAndReadsAgain) {
  const uint64_t id_read = FirstRequestOfCleanRun(GetParam(), IsIdRead);
  FlashBench bench(GetParam());
  PrepareUpdate(bench);
  bench.faults_.RejectRequest(id_read);
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();

  EXPECT_TRUE(result.success);
  ExpectImageThenErased(bench);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Read Flash ID Fail"), 1u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 1u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Enter ISP Mode"), 2u);
  // One erase, and only after ISP mode was entered again and the ID read.
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
  const size_t second_entry = IndexOfFirst(
      bench.spy_, [](const SpiedTransfer& t) { return t.setup.request == kRequestEnterIsp; },
      id_read);
  const size_t second_id = IndexOfFirst(bench.spy_, IsIdRead, second_entry);
  const size_t erase = IndexOfFirst(bench.spy_, IsChipErase);
  EXPECT_LT(second_entry, second_id);
  EXPECT_LT(second_id, erase);
  // Nothing but the way in was sent before the retry.
  EXPECT_EQ(IndexOfFirst(bench.spy_, IsStatusWrite),
            IndexOfFirst(bench.spy_, IsStatusWrite, second_id));
}

INSTANTIATE_TEST_SUITE_P(Parts, FailedIdRead,
                         ::testing::Values(sim::kFlashMx25l1021e, sim::kFlashSst25vf020b,
                                           sim::kFlashW25x20cl),
                         [](const auto& info) { return std::string(info.param); });

TEST(FailedIdRead, AnIdOfAllZerosOrAllOnesIsNoPart) {
  for (const uint8_t answer : {0x00, 0xFF}) {
    SCOPED_TRACE(answer);
    FlashBench bench(sim::kFlashMx25l1021e);
    PrepareUpdate(bench);
    bool first = true;
    bench.spy_.tamper = [&](const DecodedRequest& r, std::span<uint8_t> data) {
      if (!first || r.setup.request != kRequestFlashFetch || data.size() != 3) return;
      std::fill(data.begin(), data.end(), answer);
      first = false;
    };
    EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);
    EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Read Flash ID Fail"), 1u);
    EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
    // The part's own 32-byte chunks, chosen by the second read.
    EXPECT_EQ(bench.ops_.program_chunk_size(), 32u);
    ExpectImageThenErased(bench);
  }
}

TEST(FailedIspEntry, RejectedEntryIsEnteredAgainInsteadOfProgrammingBlind) {
  const uint64_t entry = FirstRequestOfCleanRun(sim::kFlashW25x20cl, [](const SpiedTransfer& t) {
    return t.setup.request == kRequestEnterIsp;
  });
  FlashBench clean(sim::kFlashW25x20cl);
  PrepareUpdate(clean);
  ASSERT_TRUE(clean.sequences_.RunOneClickUpdate().success);

  FlashBench bench(sim::kFlashW25x20cl);
  PrepareUpdate(bench);
  bench.faults_.RejectRequest(entry);
  const uint64_t start = bench.clock_.NowMicros();
  EXPECT_TRUE(bench.sequences_.RunOneClickUpdate().success);
  ExpectImageThenErased(bench);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Enter ISP Mode Fail"), 1u);
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
  // The clean run's requests plus the way in once more, the ID read that
  // still follows the refused entry (up to 100 ready polls outside ISP mode)
  // and the retry pause.
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Read Flash ID Fail"), 1u);
  EXPECT_LT(bench.faults_.RequestCount(), clean.faults_.RequestCount() + 20 + 100);
  EXPECT_LT(bench.clock_.NowMicros() - start, clean.clock_.NowMicros() + 2'000'000);
}

TEST(FailedIspEntry, RefusedEntryOfADeviceInIspModeEndsItsStepAndTheIdReadDecides) {
  // A device that is in ISP mode (its flash on the host's pins) but answers
  // the entry request badly: the ID read shows the flash is there, so the
  // first attempt goes on and nothing is retried.
  FlashBench bench(sim::kFlashW25x20cl);
  PrepareUpdate(bench);
  bench.EnterIsp();
  int entries = 0;
  bench.faults_.RejectWhen([&entries](uint64_t, const std::optional<DecodedRequest>& request) {
    return request && request->setup.request == kRequestEnterIsp && entries++ == 0;
  });
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();
  EXPECT_TRUE(result.success);
  ExpectImageThenErased(bench);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Enter ISP Mode Fail"), 1u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Read Flash ID Fail"), 0u);
  EXPECT_EQ(entries, 1);  // entered once: no second attempt
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
}

TEST(FailedIspEntry, RefusedEntryWithoutAnIdNeverErases) {
  // The entry refused and the flash not on the pins: the ID read fails
  // every time and nothing is erased or programmed.
  FlashBench bench(sim::kFlashW25x20cl);
  PrepareUpdate(bench);
  bench.faults_.RejectWhen([](uint64_t, const std::optional<DecodedRequest>& request) {
    return request && request->setup.request == kRequestEnterIsp;
  });
  const OneClickResult result = bench.sequences_.RunOneClickUpdate();
  EXPECT_FALSE(result.success);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Enter ISP Mode Fail"), 3u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Read Flash ID Fail"), 3u);
  EXPECT_EQ(IndexOfFirst(bench.spy_, IsChipErase), bench.spy_.transfers.size());
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), std::vector<uint8_t>(kImageLength, kSentinel));
}

TEST(FailedIdRead, AutoRefusesToTouchTheFlashWithoutAnId) {
  const uint64_t id_read = FirstRequestOfCleanRun(sim::kFlashW25x20cl, IsIdRead);
  FlashBench bench(sim::kFlashW25x20cl);
  PrepareUpdate(bench);
  bench.faults_.RejectRequest(id_read);
  const AutoResult result = bench.sequences_.RunAuto(AutoOptions{});
  EXPECT_FALSE(result.success);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Read Flash ID Fail");
  EXPECT_EQ(IndexOfFirst(bench.spy_, IsChipErase), bench.spy_.transfers.size());
  EXPECT_EQ(bench.FlashBytes(0, kImageLength), std::vector<uint8_t>(kImageLength, kSentinel));
  EXPECT_FALSE(bench.device_->IspMode());
  EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
}

// ---- Word programming left open ---------------------------------------------------

TEST(AutoWordProgramming, LostLastWriteDisableIsNeverTakenForSuccess) {
  FlashBench bench(sim::kFlashSst25vf020b);
  PrepareUpdate(bench);
  // The first run loses the write disable after its last word chunk.
  bool words_sent = false;
  bool lost = false;
  size_t last_disable = 0;
  {
    FlashBench clean(sim::kFlashSst25vf020b);
    PrepareUpdate(clean);
    ASSERT_TRUE(clean.sequences_.RunAuto(AutoOptions{}).success);
    for (size_t i = 0; i < clean.spy_.transfers.size(); ++i) {
      const SpiedTransfer& t = clean.spy_.transfers[i];
      if (t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpWriteDisable})
        last_disable = i;
    }
  }
  bench.spy_.refuse = [&](const SpiedTransfer&) {
    if (lost || bench.spy_.transfers.size() != last_disable) return false;
    lost = words_sent = true;
    return true;
  };
  EXPECT_FALSE(bench.sequences_.RunAuto(AutoOptions{}).success);
  ASSERT_TRUE(words_sent);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo),
            "Flash still in word-program mode, status 0x42");
  ASSERT_TRUE(bench.device_->flash().InAaiMode());

  // Run again: the part ignores the erase and every read, and would take the
  // next word after the image; nothing may call that a success. Its ID read
  // answers all ones here, which alone refuses the run.
  const AutoResult again = bench.sequences_.RunAuto(AutoOptions{});
  EXPECT_FALSE(again.success);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo), "Read Flash ID Fail");
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 1u);
  EXPECT_EQ(bench.FlashBytes(kImageLength, 0x100), std::vector<uint8_t>(0x100, kErasedByte));

  // A part that still gives its ID in that state: without closing the
  // sequence first, the erase and the blank check pass over nothing, the
  // first chunk lands after the image, and the old image passes the verify.
  bench.spy_.tamper = [](const DecodedRequest& r, std::span<uint8_t> data) {
    if (r.setup.request == kRequestFlashFetch && data.size() == 3) {
      const uint8_t id[] = {0xBF, 0x25, 0x8C};
      std::copy(std::begin(id), std::end(id), data.begin());
    }
  };
  const AutoResult third = bench.sequences_.RunAuto(AutoOptions{});
  EXPECT_TRUE(third.success);
  EXPECT_FALSE(bench.device_->flash().InAaiMode());
  EXPECT_EQ(bench.device_->flash().stats().chip_erases, 2u);
  ExpectImageThenErased(bench);
}

TEST(AutoWordProgramming, OpenSequenceIsClosedBeforeTheErase) {
  FlashBench bench(sim::kFlashSst25vf020b);
  PrepareUpdate(bench);
  const AutoResult result = bench.sequences_.RunAuto(AutoOptions{});
  ASSERT_TRUE(result.success);
  // Write disable and a status read showing the sequence closed come after
  // the ID read and before the status clear and the erase.
  const size_t id = IndexOfFirst(bench.spy_, IsIdRead);
  const size_t disable = IndexOfFirst(bench.spy_, [](const SpiedTransfer& t) {
    return t.setup.request == kRequestFlashWrite && t.data == std::vector<uint8_t>{kOpWriteDisable};
  });
  EXPECT_LT(id, disable);
  EXPECT_LT(disable, IndexOfFirst(bench.spy_, IsStatusWrite));
  EXPECT_LT(disable, IndexOfFirst(bench.spy_, IsChipErase));
  ExpectImageThenErased(bench);
}

// ---- A device that is gone ---------------------------------------------------------

struct GoneCase {
  const char* step_text;  // the unplug comes as this text shows
  const char* notice;
  int nth = 1;  // at the nth pump that shows it
};

const std::vector<GoneCase> kGoneCases = {
    {"Enter ISP Mode",
     "The device stopped answering during the entry into update mode. The flash was not "
     "changed. Plug the device in again and run the update again."},
    {"Clear Status register",
     "The device stopped answering during the status register clear. The flash was not "
     "changed. Plug the device in again and run the update again."},
    // The first status poll after the erase command.
    {"Flash Erase All ",
     "The device stopped answering during the erase. The flash may have changed. Plug the device "
     "in again and run the update again.",
     2},
    {"Start Blanking Check",
     "The device stopped answering during the blank check. The flash may have changed. Plug the "
     "device in again and run the update again."},
    {"Start Programming",
     "The device stopped answering during programming. The flash may have changed. Plug the device "
     "in again and run the update again."},
    {"Start Verifying Check",
     "The device stopped answering during the verify. The flash may have changed. Plug the device "
     "in again and run the update again."},
};

class DeviceGone : public ::testing::TestWithParam<sim::FlashModel> {};

TEST_P(DeviceGone, EndsTheUpdateAtOnceAndSaysWhatToDo) {
  std::printf("\n%s: unplug to verdict, device time\n", GetParam().name);
  for (const GoneCase& gone : kGoneCases) {
    SCOPED_TRACE(gone.step_text);
    FlashBench bench(GetParam());
    PrepareUpdate(bench);
    uint64_t unplugged_at = 0;
    size_t sent_before = 0;
    int seen = 0;
    bench.view_.on_pump = [&](size_t) {
      if (unplugged_at == 0 && bench.view_.Last(Target::kUpdateStatus) == gone.step_text &&
          ++seen == gone.nth) {
        unplugged_at = bench.clock_.NowMicros();
        sent_before = bench.spy_.transfers.size();
        bench.sim_driver_.Detach(bench.device_);
      }
    };
    const OneClickResult result = bench.sequences_.RunOneClickUpdate();
    ASSERT_NE(unplugged_at, 0u);
    const uint64_t took = bench.clock_.NowMicros() - unplugged_at;
    std::printf("  %-24s %8.3f s\n", gone.step_text, static_cast<double>(took) / 1e6);

    EXPECT_FALSE(result.success);
    EXPECT_FALSE(result.left_update_mode);
    EXPECT_LT(took, kGoneVerdictMicros);
    EXPECT_EQ(bench.view_.Last(Target::kUpdateStatus), "Firmware update Fail!");
    EXPECT_EQ(bench.view_.Last(Target::kUpdateNotice), gone.notice);
    EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 0u);
    // At most the rest of the request function in work; no erase, no
    // protection write, no further attempt.
    EXPECT_LE(bench.spy_.transfers.size() - sent_before, 30u);
    EXPECT_EQ(IndexOfFirst(bench.spy_, IsChipErase, sent_before), bench.spy_.transfers.size());
    EXPECT_EQ(IndexOfFirst(bench.spy_, IsProtectionWrite, sent_before),
              bench.spy_.transfers.size());
    EXPECT_EQ(bench.sim_driver_.OpenHandles(), 0u);
    EXPECT_FALSE(bench.sequences_.flags().sequence_busy);
    EXPECT_TRUE(bench.sequences_.flags().update_finished);
  }
}

TEST_P(DeviceGone, VanishingDeviceIsNotARejectedRequest) {
  // The fault wrapper's vanish, during programming: the same at-once end.
  FlashBench bench(GetParam());
  PrepareUpdate(bench);
  const uint64_t program = FirstRequestOfCleanRun(GetParam().name, [](const SpiedTransfer& t) {
    return t.setup.request == kRequestFlashWrite && !t.data.empty() &&
           (t.data[0] == kOpPageProgram || t.data[0] == kOpAaiProgram);
  });
  bench.faults_.VanishFrom(program + 10);
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  // The request that found it gone, and what was in flight with it.
  EXPECT_LE(bench.faults_.RequestCount(), program + 10 + 12);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 0u);
  EXPECT_TRUE(bench.link_.DeviceGone());
}

INSTANTIATE_TEST_SUITE_P(FlashModels, DeviceGone,
                         ::testing::ValuesIn(sim::FlashModels().begin(), sim::FlashModels().end()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceGone, AutoStopsAtOnceWithoutProtectionOrIspExit) {
  FlashBench bench;
  PrepareUpdate(bench);
  uint64_t unplugged_at = 0;
  bench.view_.on_pump = [&](size_t) {
    if (unplugged_at == 0 && bench.view_.Last(Target::kProcessInfo) == "Start Programming") {
      unplugged_at = bench.clock_.NowMicros();
      bench.faults_.VanishNow();
    }
  };
  const AutoResult result = bench.sequences_.RunAuto(AutoOptions{.protect = true});
  EXPECT_FALSE(result.success);
  EXPECT_LT(bench.clock_.NowMicros() - unplugged_at, kGoneVerdictMicros);
  EXPECT_EQ(bench.view_.Last(Target::kProcessInfo),
            "The device stopped answering during programming. The flash may have changed. Plug the "
            "device in again and run the update again.");
  EXPECT_FALSE(bench.sequences_.Running());
}

TEST(DeviceGone, BusyDeviceStillGetsTheBoundedWaits) {
  // Stuck busy from the status clear on is not gone: the waits run to their
  // limits and the attempts follow.
  FlashBench bench;
  PrepareUpdate(bench);
  bench.view_.on_pump = [&bench](size_t) {
    if (bench.view_.Last(Target::kUpdateStatus) == "Clear Status register")
      bench.device_->flash().SetStuckBusy(true);
  };
  const uint64_t start = bench.clock_.NowMicros();
  EXPECT_FALSE(bench.sequences_.RunOneClickUpdate().success);
  EXPECT_GT(bench.clock_.NowMicros() - start, 50'000'000u);
  EXPECT_FALSE(bench.link_.DeviceGone());
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "ISP Fail and retry"), 3u);
  EXPECT_EQ(bench.view_.Count(Target::kUpdateStatus, "Erase Flash Fail"), 3u);
  EXPECT_TRUE(bench.view_.Texts(Target::kUpdateNotice).empty());
}

}  // namespace
}  // namespace korvalen::testing

// The two update sequences that chain the flash operations into a firmware
// update: the one-click update of the main panel (fixed steps, up to three
// attempts, a verdict) and the ISP page's Auto sequence (steps chosen by
// check boxes, no retry). Both hold the link open for their run and pump
// the view after each visible change; a stop request raised inside a pump
// ends the run as a failure, but the protection write and the exit from ISP
// mode still follow.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "flash/FlashOperations.h"
#include "flash/FlashView.h"
#include "link/Clock.h"
#include "link/NorvaneUsb.h"

namespace korvalen {

// The flags the detection timer reads. The sequences keep them; the window
// reads them through UpdateSequences::flags().
struct SequenceFlags {
  bool sequence_busy = false;    // a sequence (or its warning box) is under way
  bool update_finished = false;  // the one-click update has ended: detection stops
};

// What a click on a sequence's button should do now.
enum class ClickAction {
  kStart,   // start the sequence
  kStop,    // a run of this sequence is under way: ask it to stop
  kIgnore,  // another sequence runs, or the one-click update has finished
};

// How a one-click update ended.
struct OneClickResult {
  // Another run owned the link: nothing was sent and the Start button stays
  // as it was.
  bool refused = false;
  UpdateVerdict verdict;
  // The verdict is a success (never for a refused run).
  bool success = false;
  // The device accepted the protection write and the exit from ISP mode.
  bool left_update_mode = true;
};

// Why the Auto sequence may not start.
enum class AutoBlocker { kNone, kNoDevice, kFileNotReady };

// The ISP page's check boxes and range edits as the Auto sequence reads them.
struct AutoOptions {
  bool isp_mode = true;   // enter ISP mode first and leave it at the end
  bool erase = true;
  bool blank = true;
  bool program = true;
  bool verify = true;
  bool protect = false;   // write the protection bits at the end
  bool all_range = true;  // the whole image from address 0, else the assigned range
  int64_t start_kb = 0;   // the assigned range's start, in KiB
  int64_t size_kb = 0;    // the assigned range's size, in KiB
};

struct AutoResult {
  bool success = false;  // every chosen step passed and no stop was asked
  bool stopped = false;
};

class UpdateSequences {
 public:
  UpdateSequences(NorvaneUsb& link, Clock& clock, FlashView& view, FlashOperations& operations);
  UpdateSequences(const UpdateSequences&) = delete;
  UpdateSequences& operator=(const UpdateSequences&) = delete;

  const SequenceFlags& flags() const { return flags_; }
  bool Running() const { return running_ != Kind::kNone; }

  // Decisions for the two buttons' click handlers.
  ClickAction StartButtonAction() const;
  ClickAction AutoButtonAction() const;
  // Asks the running sequence to stop at its next chunk, poll or step.
  void RequestStop() { operations_.RequestStop(); }

  // ---- One-click update ----------------------------------------------------
  // Before the warning box: marks the sequence busy so detection stays away.
  void BeginOneClick();
  // The user cancelled the warning: reports the cancelled verdict, sends
  // nothing.
  void CancelOneClick();
  // Everything after OK, from the entry into ISP mode to the verdict. Sets
  // update_finished unless the run was refused.
  OneClickResult RunOneClickUpdate();

  // ---- Auto sequence --------------------------------------------------------
  // What keeps the run from starting, if anything. file_box_text is the
  // text of the ISP page's file box.
  AutoBlocker AutoPrecondition(bool program_file_ready, std::string_view file_box_text) const;
  // Before the file reload: marks the sequence busy and running and clears
  // any old stop request; false, changing nothing, while another run or an
  // ISP page operation owns the link. RunAuto calls it itself when the window
  // did not.
  bool BeginAuto();
  // Everything after the reload, from the entry into ISP mode to the closing
  // of the link.
  AutoResult RunAuto(const AutoOptions& options);

 private:
  enum class Kind { kNone, kOneClick, kAuto };

  bool OneClickAttempt(uint32_t length);
  // Open, ISP mode on (when asked) and the flash ID read (flash/FlashGate.h).
  // Ends the steps that went through; returns the failure of the step that
  // did not (kind kNone when the ID names a part), whose end the caller
  // reports. In the one-click update a refused entry ends its step as failed
  // and the ID read still follows: only an unknown ID stops the attempt.
  Failure EnterIspAndReadId(bool isp_mode);
  // The device stopped answering: the run ends at once, without further
  // attempts and without the protection write, and says where it stopped.
  OneClickResult EndOneClickGone();
  // What happened and what to do, for a device that is gone.
  UpdateNotice GoneNotice(SequenceKind sequence) const;
  void BeginStep(UpdateStep step);
  // Reports the end of the step begun last; a failure without a kind of its
  // own is the gone device's when it has gone.
  void EndStep(bool ok, Failure failure = {});
  bool ChipEraseForUpdate();
  // Blank check, program and verify in that order, each only when chosen and
  // while nothing has failed; each step's line is pumped.
  bool RunDataSteps(bool blank, bool program, bool verify, uint32_t start, uint32_t end);
  // True when the device accepted the write enable and the status write.
  bool ProtectAndWait();
  // Reports the verdict and the notice (when it has a kind), marks the update
  // finished and ends the run.
  OneClickResult Conclude(const UpdateVerdict& verdict, const UpdateNotice& notice);
  void End();

  NorvaneUsb& link_;
  Clock& clock_;
  FlashView& view_;
  FlashOperations& operations_;
  SequenceFlags flags_;
  Kind running_ = Kind::kNone;
  SequenceKind sequence_ = SequenceKind::kOneClick;
  UpdateStep step_ = UpdateStep::kIspEntry;  // the step in work, for the gone notice
  bool step_open_ = false;
  uint64_t step_refused_at_ = 0;             // the link's refused requests when it began
  bool erase_started_ = false;               // an erase went out in this run
};

}  // namespace korvalen

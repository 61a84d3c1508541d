// The pump/view seam: the flash operations and update sequences report what
// happened through a FlashView, as values (flash/UpdateEvents.h), and never
// touch a widget. The window words them through flash/UpdateWording.h; the
// command line builds its reports from them; tests record the calls.
#pragma once

#include <cstdint>
#include <string_view>

#include "flash/UpdateEvents.h"

namespace korvalen {

class FlashView {
 public:
  virtual ~FlashView() = default;

  // ---- The ISP page's lines: engineering read-outs, shown as they come ----
  // Step and result texts of the ISP page's single operations.
  virtual void ShowProcessInfo(std::string_view text) = 0;
  // Address of the chunk in work.
  virtual void ShowProcessAddress(std::string_view text) = 0;
  // Last status byte read during an erase.
  virtual void ShowStatusRegister(std::string_view text) = 0;

  // Lets the window repaint and handle queued events (timer ticks, clicks)
  // in the middle of a long operation. Handlers that run inside it may call
  // RequestStop on the running operation.
  virtual void PumpMessages() = 0;

  // ---- What happened, as values --------------------------------------------
  // A single operation (or a step's walk) failed, and why.
  virtual void OperationFailed(const Failure& /*failure*/) {}
  // A sequence starts its run (after the warning box, for the one-click
  // update).
  virtual void SequenceBegan(SequenceKind /*sequence*/) {}
  // An update step begins. The one-click update notes ISP entry and the ID
  // read once before its first attempt, and again at the start of an
  // attempt that follows one which could not enter ISP mode or read the ID.
  virtual void StepBegan(SequenceKind /*sequence*/, UpdateStep /*step*/) {}
  // The step begun last has ended.
  virtual void StepEnded(const StepEnd& /*end*/) {}
  // One poll of the one-click update's chip erase (from 0).
  virtual void ErasePolled(int /*poll*/, uint8_t /*status*/) {}
  // An attempt of the one-click update ended; with pause_follows the
  // sequence waits a moment and then calls PauseEnded.
  virtual void AttemptEnded(const AttemptEnd& /*end*/) {}
  virtual void PauseEnded() {}
  // The one-click update's verdict.
  virtual void VerdictReached(const UpdateVerdict& /*verdict*/) {}
  // What the user must do after the verdict, when anything.
  virtual void NoticeRaised(const UpdateNotice& /*notice*/) {}

  // Every status byte read by the status waits and the sequences' status
  // clear, in order.
  virtual void NoteFlashStatus(uint8_t /*status*/) {}
  // A byte that a blank check or verify read differently from what it
  // expected (0xFF for a blank check, the image byte for a verify).
  virtual void NoteDifference(uint32_t /*address*/, uint8_t /*expected*/, uint8_t /*found*/) {}
  // How far the step in work is: done of the total bytes it walks. An erase
  // cannot tell; it counts its status polls against the most it may take
  // and reports done == total once the flash is idle.
  virtual void NoteProgress(ProgressStep /*step*/, uint64_t /*done*/, uint64_t /*total*/) {}
};

}  // namespace korvalen

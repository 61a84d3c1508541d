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

// Texts of the window's boxes, so every caller shows the same words.
inline constexpr std::string_view kWarningTitle = "Warning";
inline constexpr std::string_view kUpdateWarningText =
    "Firmware Update is a critical operation. Please make sure the power stays on and do not "
    "disconnect the device before the update is complete. Would you like to proceed?";
inline constexpr std::string_view kDialogTitle = "Dialog";
inline constexpr std::string_view kNoDeviceText = "USB device is NOT available !!    ";
inline constexpr std::string_view kFileNotReadyText = "Program File Not Ready !!    ";

// Button captions.
inline constexpr std::string_view kCaptionStart = "Start";
inline constexpr std::string_view kCaptionStop = "Stop";
inline constexpr std::string_view kCaptionFinish = "Finish";
inline constexpr std::string_view kCaptionAuto = "Auto";

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

// Step texts of an entry into ISP mode or an ID read that did not succeed:
// nothing of the flash changes after them, and the next attempt tries again.
inline constexpr std::string_view kEnterIspFailText = "Enter ISP Mode Fail";
inline constexpr std::string_view kReadIdFailText = "Read Flash ID Fail";

// Shown below the verdict when the protection write or the exit from ISP
// mode was not accepted.
inline constexpr std::string_view kStillInUpdateModeText =
    "The device did not confirm leaving update mode: unplug it and plug it in again.";

struct OneClickResult {
  bool success = false;
  std::string_view button_caption = kCaptionFinish;
  bool button_enabled = false;
  // The device accepted the protection write and the exit from ISP mode.
  bool left_update_mode = true;
};

// The ISP page's check boxes and range edits as the Auto sequence reads them.
struct AutoOptions {
  bool isp_mode = true;   // chkISPMode
  bool erase = true;      // chkErase
  bool blank = true;      // chkBlank
  bool program = true;    // chkProgram
  bool verify = true;     // chkVerify
  bool protect = false;   // chkProtect
  bool all_range = true;  // rbnRange0 ("All") checked
  int64_t start_kb = 0;   // lbledISPStart, parsed by the window
  int64_t size_kb = 0;    // lbledISPRange, parsed by the window
};

struct AutoResult {
  bool success = false;  // every chosen step passed and no stop was asked
  bool stopped = false;
  std::string_view button_caption = kCaptionAuto;
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

  // ---- One-click update (btnSimpleAutoClick) -------------------------------
  // Before the warning box: marks the sequence busy so detection stays away.
  void BeginOneClick();
  // The user cancelled the warning: shows the abort text, sends nothing.
  void CancelOneClick();
  // Everything after OK, from "Enter ISP Mode" to the verdict. The window
  // sets the button to kCaptionStop before calling and applies the result's
  // caption and enabled state after. Sets update_finished.
  OneClickResult RunOneClickUpdate();

  // ---- Auto sequence (btnUSBISPAutoClick) ----------------------------------
  // The message for the missing-precondition box, or nullopt when the run
  // may start. file_box_text is the text of cbxReadISPFile.
  std::optional<std::string_view> AutoPrecondition(bool program_file_ready,
                                                   std::string_view file_box_text) const;
  // Before the file reload: marks the sequence busy and running and clears
  // any old stop request; false, changing nothing, while another run or an
  // ISP page operation owns the link. RunAuto calls it itself when the window
  // did not.
  bool BeginAuto();
  // Everything after the reload, from "Enter ISP Mode" to the closing of the
  // link. The window sets the button to kCaptionStop before and to the
  // result's caption after.
  AutoResult RunAuto(const AutoOptions& options);

 private:
  enum class Kind { kNone, kOneClick, kAuto };

  bool OneClickAttempt(uint32_t length);
  // Open, ISP mode on (when asked) and the flash ID read. nullopt when both
  // went through and the ID names a part; else the failure text.
  std::optional<std::string_view> EnterIspAndReadId(bool isp_mode);
  // The device stopped answering: the run ends at once, without further
  // attempts and without the protection write, and says where it stopped.
  OneClickResult EndOneClickGone();
  // What happened and what to do, for a device that is gone.
  std::string DeviceGoneText() const;
  void BeginStep(UpdateStep step);
  bool ChipEraseForUpdate();
  // Blank check, program and verify in that order, each only when chosen and
  // while nothing has failed; `show` puts up the step texts.
  bool RunDataSteps(bool blank, bool program, bool verify, uint32_t start, uint32_t end,
                    const std::function<void(std::string_view)>& show);
  // True when the device accepted the write enable and the status write.
  bool ProtectAndWait();
  void ShowUpdateStep(std::string_view text);
  void ShowVerdict(std::string_view text, StatusColour colour);
  void End();

  NorvaneUsb& link_;
  Clock& clock_;
  FlashView& view_;
  FlashOperations& operations_;
  SequenceFlags flags_;
  Kind running_ = Kind::kNone;
  UpdateStep step_ = UpdateStep::kIspEntry;  // the step in work, for the gone text
  bool erase_started_ = false;               // an erase went out in this run
};

}  // namespace korvalen

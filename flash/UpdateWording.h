// The words of the flash core's values: one formatter, without Qt, that every
// front end uses for what it shows (the window's lines, the demo's log, the
// command line's step lines and report messages). The texts are data in one
// table, so a front end that decides from the values is not touched when a
// text changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flash/FlashView.h"
#include "flash/UpdateEvents.h"

namespace korvalen {

// Every fixed text of the update sequences and the flash operations.
struct UpdateWording {
  std::string enter_isp = "Enter ISP Mode";
  std::string enter_isp_fail = "Enter ISP Mode Fail";
  std::string read_id_fail = "Read Flash ID Fail";
  std::string clear_status = "Clear Status register";
  std::string erase_all = "Flash Erase All ";
  std::string erase_fail = "Erase Flash Fail";
  std::string erase_stopped = "Erase Flash Stopped";
  std::string blank_start = "Start Blanking Check";
  std::string blank_success = "Blanking Success";
  std::string program_start = "Start Programming";
  std::string program_success = "Programming Success";
  std::string verify_start = "Start Verifying Check";
  std::string verify_success = "Verifying Success";
  std::string blank_fail_at = "Blanking Fail at 0x";
  std::string verify_fail_at = "Verifying Fail at 0x";
  std::string stopped_at = "Stopped at 0x";
  std::string stopped = "Stopped";
  std::string word_program_open = "Flash still in word-program mode, status 0x";
  std::string past_read_back = "Range past the read-back buffer: 0x";
  std::string past_address_space = "Range past the flash address space: 0x";
  std::string larger_than_image = "Range larger than the firmware image: 0x";
  std::string program_mode_not_chosen = "Program mode not chosen: read the flash ID first";
  // An attempt failed and another follows.
  std::string retry = "ISP Fail and retry";
  // The warning box was answered Cancel: nothing was sent.
  std::string abort = "Abort Firmware update process";
  std::string success_verdict = "Firmware update success!";
  // A failed run's verdict begins with this; a reason may follow it.
  std::string fail_verdict = "Firmware update Fail!";
  std::string image_empty = "The update file is empty.";
  std::string image_too_large = "The update file is too large.";
  // The ISP page's Auto sequence says the same of its program file.
  std::string program_file_empty = "The program file is empty";
  std::string program_file_too_large = "The program file is too large";
  // The question before an update starts.
  std::string update_warning =
      "Firmware Update is a critical operation. Please make sure the power stays on and do not "
      "disconnect the device before the update is complete. Would you like to proceed?";
  std::string still_in_update_mode =
      "The device did not confirm leaving update mode: unplug it and plug it in again.";
};

// The wording the window and the command line show.
const UpdateWording& DefaultWording();

// Colours of the main panel's progress/verdict line.
enum class StatusColour {
  kWindowText,  // the system's ordinary text colour
  kRed,
  kBlue,
};

// Font size of the main panel's progress/verdict line.
enum class StatusSize {
  kUnchanged,
  kNormal,  // 12 points
  kLarge,   // 16 points
};

inline constexpr int kStatusFontNormalPoints = 12;
inline constexpr int kStatusFontLargePoints = 16;

// Why an operation failed, as the ISP page and the reports word it. Empty
// for a failure that shows no text of its own (a gone device, a part that
// stayed busy).
std::string FailureText(const Failure& failure, const UpdateWording& w = DefaultWording());
// The line a sequence shows when a step begins, if any (the ID read shows
// none; the Auto sequence's erase words its own lines).
std::optional<std::string> StepBeganText(SequenceKind sequence, UpdateStep step,
                                         const UpdateWording& w = DefaultWording());
// The line a sequence shows when a step ends, if any: the success texts of
// the flash walks and the failures the sequence's own line names.
std::optional<std::string> StepEndedText(const StepEnd& end,
                                         const UpdateWording& w = DefaultWording());
// The chip erase's text after poll number `poll`: a row of dots that grows
// and cycles so a running erase visibly moves.
std::string EraseProgressText(int poll, const UpdateWording& w = DefaultWording());
std::string VerdictText(const UpdateVerdict& verdict, const UpdateWording& w = DefaultWording());
StatusColour VerdictColour(Verdict verdict);
std::string NoticeText(const UpdateNotice& notice, const UpdateWording& w = DefaultWording());
// A step that went on although the device did not carry some of its
// requests.
std::string RequestsNotCarriedText(uint64_t count);

// A FlashView that words the values on the window's lines: the main panel's
// progress/verdict line with its colour and size, the notice below it, and
// the ISP page's info line. The window and the tests' recording view derive
// from it; each gets the same texts in the same order.
class WordingView : public FlashView {
 public:
  explicit WordingView(const UpdateWording& wording = DefaultWording()) : wording_(wording) {}

  // Text of the main panel's progress/verdict line; colour and size stay as
  // they are.
  virtual void ShowUpdateStatus(std::string_view text) = 0;
  // Colour and size of that line; the text stays as it is.
  virtual void SetUpdateStatusStyle(StatusColour colour, StatusSize size) = 0;
  // A second text shown with that line, below the verdict: what happened and
  // what the user must do.
  virtual void ShowUpdateNotice(std::string_view text) = 0;

  void OperationFailed(const Failure& failure) override;
  void SequenceBegan(SequenceKind sequence) override;
  void StepBegan(SequenceKind sequence, UpdateStep step) override;
  void StepEnded(const StepEnd& end) override;
  void ErasePolled(int poll, uint8_t status) override;
  void AttemptEnded(const AttemptEnd& end) override;
  void PauseEnded() override;
  void VerdictReached(const UpdateVerdict& verdict) override;
  void NoticeRaised(const UpdateNotice& notice) override;

 protected:
  const UpdateWording& wording() const { return wording_; }

 private:
  // Shows a sequence's line: the main panel's for the one-click update, the
  // ISP page's for the Auto sequence.
  void ShowSequenceLine(std::string_view text);

  const UpdateWording& wording_;
  SequenceKind sequence_ = SequenceKind::kOneClick;
};

}  // namespace korvalen

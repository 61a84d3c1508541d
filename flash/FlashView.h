// The pump/view seam: the flash operations and update sequences report every
// visible change through a FlashView and never touch a widget. The window
// implements it with its labels and its event loop; tests record the calls.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvalen {

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

// The steps that walk the flash, for the progress signal.
enum class ProgressStep { kErase, kBlankCheck, kProgram, kVerify, kReadBack };

// The steps of an update sequence, in the order a clean one-click update
// runs them, for reports.
enum class UpdateStep {
  kIspEntry,
  kIdRead,
  kStatusClear,
  kErase,
  kBlankCheck,
  kProgram,
  kVerify,
};

inline constexpr int kStatusFontNormalPoints = 12;
inline constexpr int kStatusFontLargePoints = 16;

class FlashView {
 public:
  virtual ~FlashView() = default;

  // Step and result texts of the ISP page (`lblUSBProcessInfo`).
  virtual void ShowProcessInfo(std::string_view text) = 0;
  // Address of the chunk in work (`lblUSBISPProcess`).
  virtual void ShowProcessAddress(std::string_view text) = 0;
  // Last status byte read during an erase (`lblUSBISPStatusReg`).
  virtual void ShowStatusRegister(std::string_view text) = 0;
  // Text of the main panel's progress/verdict line (`lblISPProcStatus`);
  // colour and size stay as they are.
  virtual void ShowUpdateStatus(std::string_view text) = 0;
  // Colour and size of that line; the text stays as it is.
  virtual void SetUpdateStatusStyle(StatusColour colour, StatusSize size) = 0;
  // A second text shown with that line, below the verdict: what happened
  // and what the user must do when the device may not have left update mode
  // or stopped answering. The verdict line keeps its own text.
  virtual void ShowUpdateNotice(std::string_view text) = 0;
  // Lets the window repaint and handle queued events (timer ticks, clicks)
  // in the middle of a long operation. Handlers that run inside it may call
  // RequestStop on the running operation.
  virtual void PumpMessages() = 0;

  // Facts for reports that the window does not show; a view may ignore them.
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
  // An update step begins. The one-click update notes ISP entry and the ID
  // read once before its first attempt, and again at the start of an
  // attempt that follows one which could not enter ISP mode or read the ID.
  virtual void NoteUpdateStep(UpdateStep /*step*/) {}
};

}  // namespace korvalen

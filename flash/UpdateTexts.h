// The texts the update sequences put on the progress line. The window shows
// them as they are; the command line's update report finds its steps,
// retries and verdict by them, so both read the same words from here.
#pragma once

#include <string_view>

namespace korvalen {

inline constexpr std::string_view kEnterIspText = "Enter ISP Mode";
// The first step of every attempt.
inline constexpr std::string_view kClearStatusText = "Clear Status register";
inline constexpr std::string_view kBlankCheckStartText = "Start Blanking Check";
inline constexpr std::string_view kProgramStartText = "Start Programming";
inline constexpr std::string_view kVerifyStartText = "Start Verifying Check";
// An attempt failed and another follows.
inline constexpr std::string_view kRetryText = "ISP Fail and retry";
inline constexpr std::string_view kStoppedText = "Stopped";
// The warning box was answered Cancel: nothing was sent.
inline constexpr std::string_view kAbortText = "Abort Firmware update process";
inline constexpr std::string_view kSuccessVerdict = "Firmware update success!";
// A failed run's verdict begins with this; a reason may follow it.
inline constexpr std::string_view kFailVerdict = "Firmware update Fail!";

}  // namespace korvalen

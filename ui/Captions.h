// The window's own words that no other front end shows: button captions,
// box titles and the ISP page's precondition messages.
#pragma once

#include <string_view>

namespace korvalen {

// Button captions.
inline constexpr std::string_view kCaptionStart = "Start";
inline constexpr std::string_view kCaptionStop = "Stop";
inline constexpr std::string_view kCaptionFinish = "Finish";
inline constexpr std::string_view kCaptionAuto = "Auto";
// The Enter/Exit ISP toggle button.
inline constexpr std::string_view kCaptionEnterIsp = "Enter ISP";
inline constexpr std::string_view kCaptionExitIsp = "Exit ISP";

// Box titles.
inline constexpr std::string_view kWarningTitle = "Warning";
inline constexpr std::string_view kDialogTitle = "Dialog";

// Why the ISP page's Auto sequence may not start.
inline constexpr std::string_view kNoDeviceText = "USB device is NOT available !!    ";
inline constexpr std::string_view kFileNotReadyText = "Program File Not Ready !!    ";

}  // namespace korvalen

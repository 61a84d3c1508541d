// The identities a simulated device can present: the five models of the
// detection's ModelTable (reached through the audio driver) and the two
// firmware-update identities (reached through the USB device interface).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "link/NorvaneUsb.h"

namespace korvalen::sim {

struct SimIdentity {
  std::string_view id_text;  // lower case "vid_xxxx&pid_xxxx", as in the paths
  uint16_t vid;
  uint16_t pid;
  uint8_t channel;  // kAudioDriverChannel (a model) or kDeviceInterfaceChannel
  std::string_view name;
  bool operator==(const SimIdentity& other) const { return id_text == other.id_text; }
};

inline constexpr SimIdentity kSimOrbit{"vid_5e1a&pid_f070", 0x5E1A, 0xF070, kAudioDriverChannel,
                                       "KORVALEN ORBIT"};
inline constexpr SimIdentity kSimOrbitMini{"vid_5e1a&pid_f071", 0x5E1A, 0xF071, kAudioDriverChannel,
                                           "KORVALEN ORBIT Mini"};
inline constexpr SimIdentity kSimTide{"vid_5e1a&pid_f072", 0x5E1A, 0xF072, kAudioDriverChannel,
                                      "KORVALEN TIDE"};
inline constexpr SimIdentity kSimTideXs{"vid_5e1a&pid_f0f0", 0x5E1A, 0xF0F0, kAudioDriverChannel,
                                        "KORVALEN TIDE XS"};
inline constexpr SimIdentity kSimOrbitMax{"vid_5e1a&pid_f0f1", 0x5E1A, 0xF0F1, kAudioDriverChannel,
                                          "KORVALEN ORBIT MAX"};
inline constexpr SimIdentity kSimUpdate5E1A{"vid_5e1a&pid_6000", 0x5E1A, 0x6000,
                                            kDeviceInterfaceChannel, "Firmware update 5E1A"};
inline constexpr SimIdentity kSimUpdate0C3D{"vid_0c3d&pid_6000", 0x0C3D, 0x6000,
                                            kDeviceInterfaceChannel, "Firmware update 0C3D"};

// All seven: the five models in ModelTable order, then 5E1A:6000, 0C3D:6000.
std::span<const SimIdentity> SimIdentities();
// The identity whose id text this is (exact match), or nullopt.
std::optional<SimIdentity> FindSimIdentity(std::string_view id_text);

}  // namespace korvalen::sim

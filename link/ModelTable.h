// The device identities the detection knows: five models that run their
// firmware behind the audio driver, and two firmware-update identities that
// enumerate behind the generic USB device interface driver.
#pragma once

#include <array>
#include <cstdint>

namespace korvalen {

// One row: three fixed-width, zero-padded text fields of 20 bytes each.
struct ModelRow {
  char device_id[20];     // matched case-sensitively inside interface paths
  char display_name[20];  // shown as "Find Device " + name
  char file_key[20];      // base name of the model's update file
};
static_assert(sizeof(ModelRow) == 60, "rows are stored back to back, 60 bytes each");

inline constexpr int kModelCount = 5;
extern const std::array<ModelRow, kModelCount> ModelTable;

inline constexpr char kUpdateId5E1A[] = "vid_5e1a&pid_6000";
inline constexpr char kUpdateId0C3D[] = "vid_0c3d&pid_6000";

}  // namespace korvalen

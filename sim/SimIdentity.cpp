#include "sim/SimIdentity.h"

#include <array>

namespace korvalen::sim {
namespace {

constexpr std::array<SimIdentity, 7> kIdentities = {
    kSimOrbit, kSimOrbitMini, kSimTide, kSimTideXs, kSimOrbitMax, kSimUpdate5E1A, kSimUpdate0C3D};

}  // namespace

std::span<const SimIdentity> SimIdentities() { return kIdentities; }

std::optional<SimIdentity> FindSimIdentity(std::string_view id_text) {
  for (const SimIdentity& identity : kIdentities) {
    if (identity.id_text == id_text) return identity;
  }
  return std::nullopt;
}

}  // namespace korvalen::sim

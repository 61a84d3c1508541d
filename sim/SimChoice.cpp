#include "sim/SimChoice.h"

#include "link/ModelTable.h"
#include "sim/FlashModels.h"

namespace korvalen::sim {

std::optional<SimIdentity> IdentityForModel(std::string_view model) {
  if (model.size() == 1 && model[0] >= '0' && model[0] < '0' + kModelCount)
    return FindSimIdentity(ModelTable[model[0] - '0'].device_id);
  for (const ModelRow& row : ModelTable) {
    if (model == row.file_key) return FindSimIdentity(row.device_id);
  }
  if (model == "5e1a" || model == "5E1A") return kSimUpdate5E1A;
  if (model == "0c3d" || model == "0C3D") return kSimUpdate0C3D;
  return std::nullopt;
}

std::string_view FlashPartFor(std::string_view flash) {
  if (flash == "page256") return kFlashW25x20cl;
  if (flash == "page32") return kFlashMx25l1021e;
  if (flash == "aai") return kFlashSst25vf020b;
  return flash;
}

}  // namespace korvalen::sim

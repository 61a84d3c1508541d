#include "app/FwSimState.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "cli/JsonText.h"
#include "cli/Output.h"
#include "image/FileRead.h"
#include "image/PathText.h"

namespace korvalen::fwsim {
namespace {

constexpr int kBanks = 256;
constexpr int kRegisters = 256;

// Far more than any simulated flash holds: a bigger file is not ours.
constexpr size_t kMaxStateFile = 16 * 1024 * 1024;

// One state file: nullopt when there is nothing under its name, an error
// text in *error when there is something that cannot be read as a plain
// file (a FIFO would block the program for good, a folder reads as
// nothing).
std::optional<std::vector<uint8_t>> ReadBytes(const std::filesystem::path& path,
                                              std::string* error) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return std::nullopt;
  std::string data;
  const LoadError read = ReadFileBounded(path, kMaxStateFile, data);
  if (read != LoadError::kNone) {
    *error = "the simulated device's " + ReadErrorMessage(path, read, kMaxStateFile) + " (in " +
             PathText(path.parent_path()) + ")";
    return std::nullopt;
  }
  return std::vector<uint8_t>(data.begin(), data.end());
}

std::string_view AsText(const std::vector<uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

template <size_t N>
bool ToArray(const nlohmann::json& value, std::array<uint8_t, N>& out) {
  if (!value.is_array() || value.size() != N) return false;
  for (size_t i = 0; i < N; ++i) {
    if (!value[i].is_number_unsigned() || value[i].get<unsigned>() > 0xFF) return false;
    out[i] = value[i].get<uint8_t>();
  }
  return true;
}

std::string LoadFolder(const std::filesystem::path& directory, sim::SimDevice& device) {
  std::string error;
  const auto flash = ReadBytes(directory / "flash.bin", &error);
  const auto registers = ReadBytes(directory / "registers.bin", &error);
  const auto state = ReadBytes(directory / "device.json", &error);
  if (!error.empty()) return error;
  if (!flash && !registers && !state) return {};
  if (!flash || !registers || !state || registers->size() != kBanks * kRegisters)
    return "the simulated device in " + PathText(directory) + " is incomplete";
  const nlohmann::json json = nlohmann::json::parse(AsText(*state), nullptr, false);
  sim::MailboxStore store = device.mailbox();
  const bool ok = json.is_object() && json.contains("status_bits") &&
                  json["status_bits"].is_number_unsigned() &&
                  ToArray(json.value("vid_text", nlohmann::json()), store.vid_text) &&
                  ToArray(json.value("pid_text", nlohmann::json()), store.pid_text) &&
                  ToArray(json.value("settings", nlohmann::json()), store.settings) &&
                  json.contains("strings") && json["strings"].is_array() &&
                  json["strings"].size() == store.string_packets.size();
  if (!ok) return "the simulated device in " + PathText(directory) + " is damaged";
  for (size_t i = 0; i < store.string_packets.size(); ++i) {
    if (!ToArray(json["strings"][i], store.string_packets[i]))
      return "the simulated device in " + PathText(directory) + " is damaged";
  }
  // A flash of another size keeps what fits.
  const size_t count = std::min(flash->size(), device.flash().contents().size());
  device.flash().Write(0, std::span<const uint8_t>(flash->data(), count));
  device.flash().SetStatusBits(json["status_bits"].get<uint8_t>());
  for (int bank = 0; bank < kBanks; ++bank) {
    for (int reg = 1; reg < kRegisters; ++reg) {
      device.PokeRegister(static_cast<uint8_t>(bank), static_cast<uint8_t>(reg),
                          (*registers)[bank * kRegisters + reg]);
    }
  }
  // Register 0 of every bank was saved as the selected bank: the chip keeps
  // its selection while it is powered.
  device.PokeRegister(0, 0, (*registers)[0]);
  device.mailbox() = store;
  return {};
}

// A save goes to a folder of its own beside the device's and is swapped in
// whole, so a failed save leaves the previous state as it was, never new
// flash cells beside old registers. Between the two renames of the swap the
// previous state sits under kPrevious, where a load finds it.
constexpr std::string_view kSaving = ".saving";
constexpr std::string_view kPrevious = ".previous";

std::filesystem::path Beside(const std::filesystem::path& directory, std::string_view suffix) {
  std::filesystem::path path = directory;
  path += std::string(suffix);
  return path;
}

}  // namespace

std::string LoadSimState(const std::filesystem::path& directory, sim::SimDevice& device) {
  std::error_code ec;
  const auto previous = Beside(directory, kPrevious);
  if (!std::filesystem::exists(std::filesystem::symlink_status(directory, ec)) &&
      std::filesystem::is_directory(std::filesystem::symlink_status(previous, ec))) {
    return LoadFolder(previous, device);
  }
  return LoadFolder(directory, device);
}

std::string SaveSimState(const std::filesystem::path& directory, sim::SimDevice& device) {
  std::error_code error;
  const auto saving = Beside(directory, kSaving);
  const auto previous = Beside(directory, kPrevious);
  // What an interrupted save left behind is not a state.
  std::filesystem::remove_all(saving, error);
  std::filesystem::create_directories(saving, error);
  if (error) return "cannot create " + PathText(saving);
  const auto cells = device.flash().contents();
  std::string registers(kBanks * kRegisters, '\0');
  for (int bank = 0; bank < kBanks; ++bank) {
    for (int reg = 0; reg < kRegisters; ++reg) {
      registers[bank * kRegisters + reg] = static_cast<char>(
          device.PeekRegister(static_cast<uint8_t>(bank), static_cast<uint8_t>(reg)));
    }
  }
  const sim::MailboxStore& store = device.mailbox();
  nlohmann::json json = {
      {"status_bits", device.flash().Status() & 0xFC},
      {"vid_text", store.vid_text},
      {"pid_text", store.pid_text},
      {"settings", store.settings},
      {"strings", store.string_packets},
  };
  for (const auto& [name, text] :
       {std::pair<std::string, std::string>{
            "flash.bin", std::string(reinterpret_cast<const char*>(cells.data()), cells.size())},
        {"registers.bin", registers},
        {"device.json", cli::JsonText(json)}}) {
    if (std::string failed = cli::WriteFileAtomically(saving / name, text); !failed.empty()) {
      std::filesystem::remove_all(saving, error);
      return failed;
    }
  }
  // A previous state left by an interrupted swap is the one in place when
  // the device's own folder is missing; otherwise it is stale.
  const bool in_place = std::filesystem::exists(std::filesystem::symlink_status(directory, error));
  if (in_place) {
    std::filesystem::remove_all(previous, error);
    std::filesystem::rename(directory, previous, error);
    if (error) {
      std::filesystem::remove_all(saving, error);
      return "cannot replace the simulated device in " + PathText(directory);
    }
  }
  std::filesystem::rename(saving, directory, error);
  if (error) {
    // Put the previous state back where a load looks first.
    if (in_place) std::filesystem::rename(previous, directory, error);
    std::filesystem::remove_all(saving, error);
    return "cannot save the simulated device in " + PathText(directory);
  }
  std::filesystem::remove_all(previous, error);
  return {};
}

}  // namespace korvalen::fwsim

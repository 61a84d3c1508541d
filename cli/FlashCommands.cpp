// read and verify: the flash through the pass-through in ISP mode, without
// writing anything.
#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/DeviceSession.h"
#include "cli/FwCommand.h"
#include "cli/JsonText.h"
#include "cli/Report.h"
#include "flash/FlashCapacity.h"
#include "flash/FlashGate.h"
#include "flash/FlashOperations.h"
#include "flash/UpdateWording.h"
#include "image/Loaders.h"
#include "image/PathText.h"
#include "image/UpdateFile.h"
#include "image/Utf8Text.h"
#include "link/Registers.h"

namespace korvalen::cli {
namespace {

// Keeps the first difference a check met and why it failed; the labels are
// not needed here.
class CheckView : public FlashView {
 public:
  void ShowProcessInfo(std::string_view) override {}
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void PumpMessages() override {}
  void OperationFailed(const Failure& failure) override { message = FailureText(failure); }
  void NoteDifference(uint32_t address, uint8_t expected, uint8_t found) override {
    difference = Difference{address, expected, found};
  }
  std::optional<Difference> difference;
  std::string message;
};

// Why the flash could not be reached, for read and verify.
std::string GateFailureText(const Failure& gate) {
  switch (gate.kind) {
    case FailureKind::kDeviceGone:
      return "the device stopped answering";
    case FailureKind::kIspEntryRefused:
      return fmt::format("the device refused the entry into update mode {} times", kGateAttempts);
    default:
      return fmt::format("the flash ID could not be read ({} attempts): the flash may not be "
                         "routed to the host",
                         kGateAttempts);
  }
}

// The first `size` entries of the 32 KiB dump: whole lines of sixteen, then
// what is left on a line of its own.
std::string DumpOf(const std::string& dump, uint32_t size) {
  constexpr size_t kEntry = 6;                // "0xFF, "
  constexpr size_t kLine = 16 * kEntry + 1;   // and a carriage return
  const size_t lines = size / 16;
  const size_t rest = size % 16;
  std::string text = dump.substr(0, std::min(dump.size(), lines * kLine));
  if (rest > 0 && dump.size() >= lines * kLine + rest * kEntry) {
    text += dump.substr(lines * kLine, rest * kEntry) + "\r";
  }
  return text;
}

// Why a walk failed, never empty: a device that went away reports no
// failure text of its own.
std::string ReasonOf(const CheckView& view, const FlashOperations& operations) {
  if (!view.message.empty()) return view.message;
  if (operations.device_gone()) return "the device stopped answering";
  return "the flash did not answer as expected";
}

// Gives the flash back to the chip and closes the link; a device that is gone
// gets nothing more.
void LeaveFlash(NorvaneUsb& link) {
  if (!link.DeviceGone()) (void)SetIspMode(link, false);
  link.Close();
}

}  // namespace

int ReadCommand(DeviceSource& source, const CommonOptions& common, const ReadOptions& options,
                Output& out) {
  // Three address bytes reach 16 MiB; the dump covers the first 32 KiB.
  const uint32_t most = options.dump ? kReadBackDumpSize : kFlashAddressLimit;
  if (options.size && (*options.size == 0 || *options.size > most)) {
    out.Error(fmt::format("--size must be from 1 to {} bytes{}", most,
                          options.dump ? " with --dump" : ""));
    return kExitRefused;
  }
  // A file that cannot be written is known before the device is touched.
  if (const std::string error = CheckWritable(PathFromUtf8(options.out)); !error.empty()) {
    out.Error("korvalen-fw: " + error);
    return kExitRefused;
  }
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  NorvaneUsb& link = session.link();

  FirmwareImage unused;
  CheckView view;
  FlashOperations operations(link, session.clock(), view, unused);
  // Nothing is read until the flash is on the host's pins and its ID is
  // known, as for an update: else the "backup" is the pass-through's 0xFF.
  if (const Failure gate = OpenFlashGate(link, session.clock(), operations)) {
    LeaveFlash(link);
    out.Error(fmt::format("reading the flash of {} failed: {}", session.device().path,
                          GateFailureText(gate)));
    source.Finish();
    return kExitFailed;
  }
  uint32_t size = options.size.value_or(options.dump ? kReadBackDumpSize : kFirmwareImageSize);
  const FlashId& id = operations.flash_id();
  const auto capacity = FlashCapacityBytes(id);
  if (capacity && size > *capacity) {
    // A part answers past its end with its start again: that is no backup.
    if (options.size) {
      LeaveFlash(link);
      out.Error(fmt::format("reading the flash of {} failed: --size {} is more than the flash holds "
                            "({} bytes, JEDEC ID {:02X} {:02X} {:02X})",
                            session.device().path, size, *capacity, id[0], id[1], id[2]));
      source.Finish();
      return kExitFailed;
    }
    size = *capacity;
  }
  if (!options.dump && !options.size) {
    // The whole part, whatever its size.
    if (capacity) {
      size = *capacity;
    } else {
      out.Error(fmt::format("the flash's size is unknown (JEDEC ID {:02X} {:02X} {:02X}): reading {} "
                            "bytes",
                            id[0], id[1], id[2], size));
    }
  }
  operations.GrowReadBack(size);
  const bool ok = operations.ReadBackRange(0, size);
  LeaveFlash(link);
  if (!ok) {
    out.Error(fmt::format("reading the flash of {} failed: {}", session.device().path,
                          ReasonOf(view, operations)));
    source.Finish();
    return kExitFailed;
  }
  std::string error;
  if (options.dump) {
    error = WriteFileAtomically(PathFromUtf8(options.out), DumpOf(operations.ReadBackDumpText(), size));
  } else {
    const auto bytes = operations.read_back_buffer().first(size);
    error = WriteFileAtomically(
        PathFromUtf8(options.out), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  source.Finish();
  if (!error.empty()) {
    out.Error(error);
    return kExitFailed;
  }
  if (common.json) {
    out.Text(JsonText(nlohmann::json({{"path", session.device().path},
                             {"file", EscapeInvalidUtf8(options.out)},
                             {"length", size},
                             {"requests", session.requests()}})));
  } else {
    out.Line(fmt::format("read {} bytes of {} into {}", size, session.device().path, options.out));
  }
  return kExitOk;
}

int VerifyCommand(DeviceSource& source, const CommonOptions& common, const std::string& file,
                  Output& out) {
  if (!HasFirmwareExtension(PathFromUtf8(file))) {
    out.Error(DisplayName(PathFromUtf8(file)) +
              " is not a firmware file: its name must end in .hex, .h00 or .bin");
    return kExitRefused;
  }
  auto image = std::make_unique<FirmwareImage>();
  const LoadResult loaded = LoadImageFile(PathFromUtf8(file), *image);
  if (!loaded.ok) {
    out.Error(loaded.message.empty() ? "cannot load " + file : loaded.message);
    return kExitRefused;
  }
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  NorvaneUsb& link = session.link();

  CheckView view;
  FlashOperations operations(link, session.clock(), view, *image);
  // A flash that is not on the host's pins reads 0xFF: a blank file would
  // "match" it.
  const Failure gate = OpenFlashGate(link, session.clock(), operations);
  if (gate) {
    view.message = GateFailureText(gate);
  }
  const bool equal = !gate && operations.VerifyRange(0, image->length);
  LeaveFlash(link);
  source.Finish();

  nlohmann::json json = {{"path", session.device().path},
                         {"file", DisplayName(loaded.path)},
                         {"length", image->length},
                         {"checksum", fmt::format("0x{:04X}", loaded.checksum)},
                         {"equal", equal}};
  std::string text = fmt::format("{}: {} ({} bytes) ", session.device().path,
                                 DisplayName(loaded.path), image->length);
  if (equal) {
    text += "matches the flash";
  } else if (view.difference) {
    json["first_difference"] = {{"address", HexAddress(view.difference->address)},
                                {"expected", HexByte(view.difference->expected)},
                                {"found", HexByte(view.difference->found)}};
    text += fmt::format("differs from the flash: first at {}, file {}, flash {}",
                        HexAddress(view.difference->address), HexByte(view.difference->expected),
                        HexByte(view.difference->found));
  } else {
    const std::string reason = ReasonOf(view, operations);
    json["message"] = reason;
    text += "could not be compared: " + reason;
  }
  if (common.json) {
    out.Text(JsonText(json));
  } else {
    out.Line(text);
  }
  return equal ? kExitOk : kExitFailed;
}

}  // namespace korvalen::cli

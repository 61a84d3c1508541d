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

}  // namespace

int ReadCommand(DeviceSource& source, const CommonOptions& common, const ReadOptions& options,
                Output& out) {
  if (options.size && (*options.size == 0 || *options.size > kFirmwareImageSize)) {
    out.Error(fmt::format("--size must be from 1 to {} bytes", kFirmwareImageSize));
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
  link.Open();
  SetIspMode(link, true);
  uint32_t size = options.dump ? kReadBackDumpSize : options.size.value_or(kFirmwareImageSize);
  if (!options.dump && !options.size) {
    // A smaller part answers past its end with its start again: read what
    // it holds, no mirror.
    FlashId id{};
    const auto capacity =
        FlashReadId(link, &id) ? FlashCapacityBytes(id) : std::optional<uint32_t>();
    if (capacity) {
      size = std::min(*capacity, kFirmwareImageSize);
    } else {
      out.Error(fmt::format("the flash's size is unknown (JEDEC ID {:02X} {:02X} {:02X}): reading {} "
                            "bytes",
                            id[0], id[1], id[2], size));
    }
  }
  const bool ok = operations.ReadBackRange(0, size);
  SetIspMode(link, false);
  link.Close();
  if (!ok) {
    out.Error(fmt::format("reading the flash of {} failed: {}", session.device().path, view.message));
    source.Finish();
    return kExitFailed;
  }
  std::string error;
  if (options.dump) {
    error = WriteFileAtomically(PathFromUtf8(options.out), operations.ReadBackDumpText());
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
  link.Open();
  SetIspMode(link, true);
  const bool equal = operations.VerifyRange(0, image->length);
  SetIspMode(link, false);
  link.Close();
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
    json["message"] = view.message;
    text += "could not be compared: " + view.message;
  }
  if (common.json) {
    out.Text(JsonText(json));
  } else {
    out.Line(text);
  }
  return equal ? kExitOk : kExitFailed;
}

}  // namespace korvalen::cli

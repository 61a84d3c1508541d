// read and verify: the flash through the pass-through in ISP mode, without
// writing anything.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/DeviceSession.h"
#include "cli/FwCommand.h"
#include "cli/Report.h"
#include "flash/FlashOperations.h"
#include "image/Loaders.h"
#include "image/PathText.h"
#include "image/UpdateFile.h"
#include "link/Registers.h"

namespace korvalen::cli {
namespace {

// Keeps the first difference a check met; the labels are not needed here.
class CheckView : public FlashView {
 public:
  void ShowProcessInfo(std::string_view text) override { message = std::string(text); }
  void ShowProcessAddress(std::string_view) override {}
  void ShowStatusRegister(std::string_view) override {}
  void ShowUpdateStatus(std::string_view) override {}
  void SetUpdateStatusStyle(StatusColour, StatusSize) override {}
  void ShowUpdateNotice(std::string_view) override {}  // checks run no update
  void PumpMessages() override {}
  void NoteDifference(uint32_t address, uint8_t expected, uint8_t found) override {
    difference = Difference{address, expected, found};
  }
  std::optional<Difference> difference;
  std::string message;
};

}  // namespace

int ReadCommand(DeviceSource& source, const CommonOptions& common, const ReadOptions& options,
                Output& out) {
  if (options.size == 0 || options.size > kFirmwareImageSize) {
    out.Error(fmt::format("--size must be from 1 to {} bytes", kFirmwareImageSize));
    return kExitRefused;
  }
  Connected connected = ConnectOne(source, common, out);
  if (!connected.ready()) return connected.exit_code;
  DeviceSession& session = *connected.session;
  NorvaneUsb& link = session.link();

  const uint32_t size = options.dump ? kReadBackDumpSize : options.size;
  FirmwareImage unused;
  CheckView view;
  FlashOperations operations(link, session.clock(), view, unused);
  link.Open();
  SetIspMode(link, true);
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
    out.Text(nlohmann::json({{"path", session.device().path},
                             {"file", options.out},
                             {"length", size},
                             {"requests", session.requests()}})
                 .dump(2) +
             "\n");
  } else {
    out.Line(fmt::format("read {} bytes of {} into {}", size, session.device().path, options.out));
  }
  return kExitOk;
}

int VerifyCommand(DeviceSource& source, const CommonOptions& common, const std::string& file,
                  Output& out) {
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
    out.Text(json.dump(2) + "\n");
  } else {
    out.Line(text);
  }
  return equal ? kExitOk : kExitFailed;
}

}  // namespace korvalen::cli

// korvalen-fw's engineering commands: chip registers, I2C slaves, the
// firmware's settings block and identity texts, the playback status and the
// media keys. Each goes through the same request functions as the window's
// engineering pages, on one device.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Devices.h"
#include "cli/Output.h"

namespace korvalen::cli {

// What the command line gave, as typed; numbers are checked by the command.
struct EngineeringArgs {
  std::string reg;
  std::string count;
  std::string value;
  std::string bank;  // --bank: select this bank first; empty: the chip's current bank
  std::string address;
  std::vector<std::string> bytes;
  // settings set: each empty when not given.
  std::string i2s_length, spdif_length, i2s_format, mclk, dsd_out;
  std::string i2s_swap, dsd_swap, mclk_out, i2s_out, spdif_out;
  // identity: each nullopt when not given (an empty text is a text).
  std::optional<std::string> vid, pid, manufacturer, product, serial;
  std::string key;
};

class EngineeringCommands {
 public:
  // Adds regs, i2c, settings, identity, status and key to app.
  explicit EngineeringCommands(CLI::App& app);
  // Runs the one that was chosen; nullopt when none was.
  std::optional<int> Run(DeviceSource& source, const CommonOptions& common, Output& out);

 private:
  EngineeringArgs args_;
  CLI::App* regs_get_ = nullptr;
  CLI::App* regs_set_ = nullptr;
  CLI::App* i2c_read_ = nullptr;
  CLI::App* i2c_write_ = nullptr;
  CLI::App* settings_get_ = nullptr;
  CLI::App* settings_set_ = nullptr;
  CLI::App* identity_ = nullptr;
  CLI::App* status_ = nullptr;
  CLI::App* key_ = nullptr;
};

int RegsGetCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out);
int RegsSetCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out);
int I2cReadCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                   Output& out);
int I2cWriteCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                    Output& out);
int StatusCommand(DeviceSource& source, const CommonOptions& common, Output& out);
int KeyCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
               Output& out);
int SettingsGetCommand(DeviceSource& source, const CommonOptions& common, Output& out);
int SettingsSetCommand(DeviceSource& source, const CommonOptions& common,
                       const EngineeringArgs& args, Output& out);
int IdentityCommand(DeviceSource& source, const CommonOptions& common, const EngineeringArgs& args,
                    Output& out);

}  // namespace korvalen::cli

// The engineering commands' place on the command line.
#include "cli/Engineering.h"

namespace korvalen::cli {
namespace {

constexpr const char* kNumberNote =
    "Numbers are hexadecimal with 0x (0xA4) or decimal (164).";

const std::vector<std::string> kOnOff = {"on", "off"};

}  // namespace

EngineeringCommands::EngineeringCommands(CLI::App& app) {
  EngineeringArgs& a = args_;

  CLI::App* regs = app.add_subcommand("regs", "read and write the chip's registers");
  regs->require_subcommand(1);
  regs->footer(kNumberNote);
  regs_get_ = regs->add_subcommand(
      "get", "read COUNT registers from REG on (the bank the chip has selected, or --bank)");
  regs_get_->add_option("REG", a.reg, "first register, 0-255")->required();
  regs_get_->add_option("COUNT", a.count, "how many registers (default 1)");
  regs_get_->add_option("--bank", a.bank, "select this bank first (writes register 0)");
  regs_get_->footer(kNumberNote);
  regs_set_ = regs->add_subcommand(
      "set", "write VALUE to REG, then read it back (register 0 selects the bank)");
  regs_set_->add_option("REG", a.reg, "register, 0-255")->required();
  regs_set_->add_option("VALUE", a.value, "value, 0-255")->required();
  regs_set_->add_option("--bank", a.bank, "select this bank first (writes register 0)");
  regs_set_->footer(kNumberNote +
                    std::string(" The value read back is shown; a register that ignores or "
                                "alters the write shows what it holds."));

  CLI::App* i2c = app.add_subcommand("i2c", "read and write registers of a slave on the I2C bus");
  i2c->require_subcommand(1);
  const std::string address_note =
      std::string(kNumberNote) +
      " ADDR is the address byte: the 7-bit address shifted left by one (0x20 for 0x10).";
  i2c->footer(address_note);
  i2c_read_ = i2c->add_subcommand("read", "read COUNT registers of the slave ADDR from REG on");
  i2c_read_->add_option("ADDR", a.address, "slave address byte")->required();
  i2c_read_->add_option("REG", a.reg, "first register, 0-255")->required();
  i2c_read_->add_option("COUNT", a.count, "how many registers (default 1)");
  i2c_read_->footer(address_note);
  i2c_write_ = i2c->add_subcommand(
      "write", "write BYTE... to the slave ADDR from REG on, then read each back");
  i2c_write_->add_option("ADDR", a.address, "slave address byte")->required();
  i2c_write_->add_option("REG", a.reg, "first register, 0-255")->required();
  i2c_write_->add_option("BYTE", a.bytes, "values, 0-255 each")->required();
  i2c_write_->footer(address_note);

  CLI::App* settings = app.add_subcommand(
      "settings", "the audio output settings the device's firmware keeps");
  settings->require_subcommand(1);
  settings_get_ = settings->add_subcommand("get", "read and show the settings");
  settings_set_ = settings->add_subcommand(
      "set", "change the settings given; the others stay as the device has them");
  settings_set_->add_option("--i2s-length", a.i2s_length, "I2S output length in bits")
      ->check(CLI::IsMember({"24", "32"}));
  settings_set_->add_option("--spdif-length", a.spdif_length, "S/PDIF output length in bits")
      ->check(CLI::IsMember({"24", "32"}));
  settings_set_->add_option("--i2s-format", a.i2s_format, "I2S format")
      ->check(CLI::IsMember({"standard", "left-justify"}));
  settings_set_->add_option("--mclk", a.mclk, "MCLK output frequency in Fs")
      ->check(CLI::IsMember({"128", "256", "512", "1024"}));
  settings_set_->add_option("--dsd-out", a.dsd_out, "what DSD input goes out as")
      ->check(CLI::IsMember({"dsd", "dop"}));
  settings_set_->add_option("--i2s-swap", a.i2s_swap, "I2S output channel swap")
      ->check(CLI::IsMember(kOnOff));
  settings_set_->add_option("--dsd-swap", a.dsd_swap, "DSD output channel swap")
      ->check(CLI::IsMember(kOnOff));
  settings_set_->add_option("--mclk-out", a.mclk_out, "MCLK output")->check(CLI::IsMember(kOnOff));
  settings_set_->add_option("--i2s-out", a.i2s_out, "I2S output")->check(CLI::IsMember(kOnOff));
  settings_set_->add_option("--spdif-out", a.spdif_out, "S/PDIF output")
      ->check(CLI::IsMember(kOnOff));
  settings_set_->footer("The settings are read first, changed and written, then read back.");

  identity_ = app.add_subcommand("identity",
                                 "send the USB identity texts the firmware takes (write only)");
  identity_->add_option("--vid", a.vid, "vendor ID text, up to 4 bytes (5e1a)");
  identity_->add_option("--pid", a.pid, "product ID text, up to 4 bytes");
  identity_->add_option("--manufacturer", a.manufacturer, "string 1, up to 31 bytes");
  identity_->add_option("--product", a.product, "string 2 (model name), up to 31 bytes");
  identity_->add_option("--serial", a.serial, "string 3 (serial number), up to 31 bytes");
  identity_->footer(
      "Texts are sent as typed, one byte per character; a text too long is refused, never cut, "
      "and then nothing is sent.");

  status_ = app.add_subcommand("status", "read the playback status: link, mute, format, rate");

  key_ = app.add_subcommand("key", "hand a media key to the firmware");
  key_->add_option("KEY", a.key, "prev, vol-, play, vol+ or next")
      ->required()
      ->check(CLI::IsMember({"prev", "vol-", "play", "vol+", "next"}));
}

std::optional<int> EngineeringCommands::Run(DeviceSource& source, const CommonOptions& common,
                                            Output& out) {
  if (*regs_get_) return RegsGetCommand(source, common, args_, out);
  if (*regs_set_) return RegsSetCommand(source, common, args_, out);
  if (*i2c_read_) return I2cReadCommand(source, common, args_, out);
  if (*i2c_write_) return I2cWriteCommand(source, common, args_, out);
  if (*settings_get_) return SettingsGetCommand(source, common, out);
  if (*settings_set_) return SettingsSetCommand(source, common, args_, out);
  if (*identity_) return IdentityCommand(source, common, args_, out);
  if (*status_) return StatusCommand(source, common, out);
  if (*key_) return KeyCommand(source, common, args_, out);
  return std::nullopt;
}

}  // namespace korvalen::cli

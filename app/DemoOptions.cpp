#include "app/DemoOptions.h"

#include "link/ModelTable.h"
#include "sim/FlashModels.h"
#include "ui/PathFromText.h"

namespace korvalen::demo {
namespace {

// Flash parts by the way the tool writes them; the part names work as well.
struct FlashKind {
  const char* kind;
  std::string_view model;
};
constexpr FlashKind kFlashKinds[] = {
    {"page256", sim::kFlashW25x20cl},   // 256-byte page program
    {"page32", sim::kFlashMx25l1021e},  // manufacturer 0xC2, memory type 0x22: 32-byte chunks
    {"aai", sim::kFlashSst25vf020b},    // manufacturer 0xBF: word programming
};

}  // namespace

std::optional<std::string> ParseOptions(const QStringList& args, Options& options) {
  options.flash = std::string(sim::kDefaultFlashModel);
  for (int i = 1; i < args.size(); ++i) {
    const QString arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i].toStdString();
    };
    // Paths are taken from the text as the system names files, not as UTF-8.
    auto path = [&]() -> std::optional<std::filesystem::path> {
      if (i + 1 >= args.size()) return std::nullopt;
      return PathFromText(args[++i]);
    };
    if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--log") {
      options.log = true;
    } else if (arg == "--autostart") {
      options.autostart = true;
    } else if (arg == "--exit-when-done") {
      options.exit_when_done = true;
    } else if (arg == "--engineering") {
      options.engineering = true;
    } else if (arg == "--playback") {
      const auto text = value();
      std::string error = "--playback needs a state such as pcm:3";
      const auto parsed = text ? sim::ParsePlayback(*text, &error) : std::nullopt;
      if (!parsed) return text ? "--playback: " + error : error;
      options.playback = *parsed;
    } else if (arg == "--no-device") {
      options.identity.reset();
    } else if (arg == "--model") {
      const auto text = value();
      if (!text || text->size() != 1 || (*text)[0] < '0' || (*text)[0] >= '0' + kModelCount) {
        return "--model needs a model row from 0 to 4";
      }
      options.identity = sim::FindSimIdentity(ModelTable[(*text)[0] - '0'].device_id);
    } else if (arg == "--update-device") {
      const auto text = value();
      if (text == "5e1a") {
        options.identity = sim::kSimUpdate5E1A;
      } else if (text == "0c3d") {
        options.identity = sim::kSimUpdate0C3D;
      } else {
        return "--update-device needs 5e1a or 0c3d";
      }
    } else if (arg == "--identity") {
      const auto text = value();
      const auto identity = text ? sim::FindSimIdentity(*text) : std::nullopt;
      if (!identity) return "--identity needs a known id such as vid_5e1a&pid_6000";
      options.identity = identity;
    } else if (arg == "--flash") {
      const auto text = value();
      if (!text) return "--flash needs page256, page32, aai or a flash model";
      std::string model = *text;
      for (const auto& kind : kFlashKinds) {
        if (model == kind.kind) model = std::string(kind.model);
      }
      if (!sim::FindFlashModel(model)) return "--flash needs page256, page32, aai or a flash model";
      options.flash = model;
    } else if (arg == "--file") {
      const auto text = path();
      if (!text || text->empty()) return "--file needs a path";
      options.file = *text;
    } else if (arg == "--dir") {
      const auto text = path();
      if (!text || text->empty()) return "--dir needs a directory";
      options.dir = *text;
    } else if (arg == "--dump-flash") {
      const auto text = path();
      if (!text) return "--dump-flash needs a path";
      options.dump_flash = *text;
    } else if (arg == "--record") {
      const auto text = path();
      if (!text || text->empty()) return "--record needs a capture file";
      options.record = *text;
    } else if (arg == "--fault") {
      const auto text = value();
      if (!text) return "--fault needs a fault such as reject:120";
      const auto parsed = sim::ParseFaultSpec(*text);
      if (!parsed.ok()) return "--fault " + *text + ": " + parsed.error;
      options.faults.insert(options.faults.end(), parsed.specs.begin(), parsed.specs.end());
    } else {
      return "unknown option " + arg.toStdString();
    }
  }
  return std::nullopt;
}

std::string Usage() {
  std::string text =
      "usage: korvalen-demo [--model N | --update-device 5e1a|0c3d | --identity ID | --no-device]\n"
      "                     [--flash page256|page32|aai|NAME] [--file PATH] [--dir DIR]\n"
      "                     [--fast] [--log] [--autostart] [--exit-when-done]\n"
      "                     [--dump-flash PATH] [--engineering] [--record FILE]\n"
      "                     [--playback disconnected|muted|pcm:N|dsd:N]\n"
      "                     [--fault reject:N|vanish:N|stuck-busy|weak:ADDR:K]...\n"
      "flash models:";
  for (const auto& model : sim::FlashModels()) text += " " + std::string(model.name);
  return text +
         "\nexit status with --exit-when-done: 0 the update succeeded; 1 it failed or was "
         "stopped;\n2 Start never became enabled; 3 the command line was refused\n";
}

int UpdateFileRow(const Options& options) {
  if (!options.identity) return 0;
  for (int row = 0; row < kModelCount; ++row) {
    if (options.identity->id_text == ModelTable[row].device_id) return row;
  }
  return 0;
}

}  // namespace korvalen::demo

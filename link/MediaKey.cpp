#include "link/MediaKey.h"

#include "link/Registers.h"

namespace korvalen {
namespace {

constexpr int kMediaKeyPolls = 10;
constexpr uint32_t kMediaKeyPollMs = 10;

}  // namespace

MediaKeyResult SendMediaKey(NorvaneUsb& link, Clock& clock, uint8_t code) {
  MediaKeyResult result;
  link.Open();
  SelectBank(link, kBankMailbox);
  WriteRegister(link, kRegMailboxArgument1, code);
  WriteRegister(link, kRegMailboxCommand, kMediaKeyCommand);
  while (result.polls < kMediaKeyPolls) {
    clock.Sleep(kMediaKeyPollMs);
    ++result.polls;
    uint8_t state = 0;
    if (ReadRegister(link, kRegMailboxCommand, &state) && state == kMediaKeyTaken) {
      result.taken = true;
      break;
    }
  }
  link.Close();
  return result;
}

}  // namespace korvalen

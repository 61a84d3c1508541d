// libFuzzer entry point for reading a recording, the one file of a user's
// that korvalen-fw reads as a whole: the input is the capture file. Whatever
// reads must replay: every transfer is played back in order, then the
// replay's verdict is asked for.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "record/Recording.h"
#include "record/ReplayDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalen::record;
  // The reader takes a file: the input goes into a file in memory.
  static const int fd = memfd_create("recording", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  std::string error;
  auto recording = ReadRecording("/proc/self/fd/" + std::to_string(fd), &error);
  if (!recording) return 0;
  const Recording copy = *recording;
  ReplaySession session(std::move(*recording), "fuzz");
  for (const RecordedTransfer& t : copy.transfers) {
    for (const RecordedInterface& i : copy.interfaces) {
      if (i.bus != t.bus || i.device != t.device) continue;
      const int device = session.DeviceOf(i.path);
      if (device >= 0) session.Play(device, t.setup, t.length, t.data_out);
      break;
    }
  }
  session.Finish();
  return 0;
}

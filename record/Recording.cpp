#include "record/Recording.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "link/UsbInterfacePath.h"
#include "record/PcapFile.h"
#include "record/UsbmonRecord.h"

namespace korvalen::record {
namespace {

constexpr size_t kDescribedBytes = 16;  // data bytes shown in a message

std::optional<Guid> ParseGuidText(const std::string& text) {
  Guid guid{};
  unsigned d4[8];
  unsigned d2 = 0, d3 = 0;
  unsigned long d1 = 0;
  char end = 0;
  if (text.size() != 38 ||
      std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &d4[0],
                  &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7], &end) != 12 ||
      end != '}') {
    return std::nullopt;
  }
  guid.data1 = static_cast<uint32_t>(d1);
  guid.data2 = static_cast<uint16_t>(d2);
  guid.data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) guid.data4[i] = static_cast<uint8_t>(d4[i]);
  return guid;
}

// A device note: its class and path, or nullopt when the data is not one.
std::optional<RecordedInterface> ParseNote(const UsbmonRecord& record) {
  const std::string text(record.data.begin(), record.data.end());
  const std::string head = std::string(kNoteMagic) + "\nclass=";
  if (text.rfind(head, 0) != 0) return std::nullopt;
  const size_t class_end = text.find('\n', head.size());
  if (class_end == std::string::npos || text.compare(class_end, 6, "\npath=") != 0)
    return std::nullopt;
  const size_t path_end = text.find('\n', class_end + 6);
  if (path_end == std::string::npos || path_end + 1 != text.size()) return std::nullopt;
  const auto guid = ParseGuidText(text.substr(head.size(), class_end - head.size()));
  if (!guid) return std::nullopt;
  RecordedInterface note;
  note.interface_class = *guid;
  note.path = text.substr(class_end + 6, path_end - class_end - 6);
  note.bus = record.bus;
  note.device = record.device;
  if (note.path.empty()) return std::nullopt;
  return note;
}

}  // namespace

std::optional<Recording> ReadRecording(const std::string& path, std::string* error) {
  const auto capture = PcapReader::Open(path, error);
  if (!capture) return std::nullopt;
  if (capture->link_type() != kLinkTypeUsbLinuxMmapped) {
    *error = path + " is not a USB capture (link type " + std::to_string(capture->link_type()) +
             ", not usbmon)";
    return std::nullopt;
  }

  Recording recording;
  std::vector<UsbmonRecord> records;
  std::vector<uint64_t> frames;
  uint64_t frame = 0;
  std::vector<uint8_t> bytes;
  // A capture cut short ends with a truncated record: what came before is
  // kept, as capture tools do.
  while (capture->Read(&bytes) == PcapReader::Next::kRecord) {
    ++frame;
    const auto record = DecodeUsbmon(bytes);
    if (!record) {
      *error = path + ": frame " + std::to_string(frame) + " is not a whole usbmon record";
      return std::nullopt;
    }
    if (record->transfer_type == kTransferNote) {
      if (const auto note = ParseNote(*record)) recording.interfaces.push_back(*note);
      continue;
    }
    records.push_back(*record);
    frames.push_back(frame);
  }
  if (recording.interfaces.empty()) {
    *error =
        path + " names no device: nothing was recorded in it, or it was not made with --record";
    return std::nullopt;
  }

  auto noted = [&](uint16_t bus, uint8_t device) {
    for (const RecordedInterface& i : recording.interfaces) {
      if (i.bus == bus && i.device == device) return true;
    }
    return false;
  };
  std::map<uint64_t, size_t> pending;  // by record id
  for (size_t i = 0; i < records.size(); ++i) {
    const UsbmonRecord& r = records[i];
    if (r.transfer_type != kTransferControl || (r.endpoint & 0x7F) != 0 || !noted(r.bus, r.device))
      continue;
    if (r.event == kEventSubmit && r.has_setup) {
      RecordedTransfer t;
      t.index = recording.transfers.size() + 1;
      t.submit_frame = frames[i];
      t.bus = r.bus;
      t.device = r.device;
      t.setup = r.setup;
      t.length = r.setup_length;
      t.data_out = r.data;
      t.submit_micros = r.TimeMicros();
      pending[r.id] = recording.transfers.size();
      recording.transfers.push_back(std::move(t));
    } else if (r.event == kEventComplete) {
      const auto it = pending.find(r.id);
      if (it == pending.end()) continue;
      RecordedTransfer& t = recording.transfers[it->second];
      t.complete_frame = frames[i];
      t.ok = r.status == 0;
      t.data_in = r.data;
      t.complete_micros = r.TimeMicros();
      pending.erase(it);
    }
  }
  return recording;
}

std::string DescribeRequest(const SetupPacket& setup, uint16_t length,
                            const std::vector<uint8_t>& data_out) {
  char text[96];
  std::snprintf(text, sizeof text, "%s %02x %02x %04x %04x len %u",
                (setup.request_type & kDirectionIn) ? "IN " : "OUT", setup.request_type,
                setup.request, setup.value, setup.index, length);
  std::string described = text;
  if (!data_out.empty()) {
    described += " data";
    for (size_t i = 0; i < data_out.size() && i < kDescribedBytes; ++i) {
      std::snprintf(text, sizeof text, " %02x", data_out[i]);
      described += text;
    }
    if (data_out.size() > kDescribedBytes) described += " ...";
  }
  return described;
}

}  // namespace korvalen::record

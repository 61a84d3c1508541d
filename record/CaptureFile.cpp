#include "record/CaptureFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link/UsbInterfacePath.h"
#include "record/PcapFile.h"
#include "record/UsbmonRecord.h"

namespace korvalen::record {
namespace {

// Room for the largest control transfer and its header.
constexpr uint32_t kSnapLength = 0x10000 + kUsbmonHeaderSize;
// usbmon numbers devices 1 to 127 on each bus.
constexpr uint8_t kMaxDeviceNumber = 127;
// Paths that do not name a bus (the Windows ones) are put on this one.
constexpr uint16_t kDefaultBus = 1;

// A device's location: the part of an interface path that stays the same
// for every interface class of the device.
std::string LocationKey(const std::string& path, uint16_t* bus) {
  const auto parsed = ParseInterfacePath(path);
  if (!parsed) {
    *bus = kDefaultBus;
    return path;
  }
  *bus = parsed->location.bus;
  return path.substr(0, path.find('#'));
}

}  // namespace

CaptureFile::CaptureFile(std::string path, ErrorCallback on_error)
    : path_(std::move(path)), on_error_(std::move(on_error)) {}

CaptureFile::~CaptureFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!writer_ || discarded_) return;
  Flush();
  // An empty capture is still the record of a session that sent nothing.
  if (const std::string error = writer_->Commit(); !error.empty() && !failed_ && on_error_)
    on_error_(error);
  writer_->Discard();  // done: nothing more to put in place
}

std::unique_ptr<CaptureFile> CaptureFile::Create(const std::string& path, ErrorCallback on_error,
                                                 std::string* error,
                                                 const OutputFile::WaitNotice& waiting) {
  std::unique_ptr<CaptureFile> file(new CaptureFile(path, std::move(on_error)));
  file->writer_ = PcapWriter::Create(path, kLinkTypeUsbLinuxMmapped, kSnapLength, error, waiting);
  if (!file->writer_) return nullptr;
  return file;
}

void CaptureFile::Discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  discarded_ = true;
  failed_ = true;  // nothing more is written
  writer_->Discard();
}

bool CaptureFile::Recording() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !failed_;
}

uint64_t CaptureFile::TransfersWritten() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transfers_;
}

void CaptureFile::Fail(const std::string& why) {
  if (failed_) return;
  failed_ = true;
  if (on_error_) on_error_("recording to " + path_ + " stopped: " + why);
}

void CaptureFile::WriteRecord(std::span<const uint8_t> bytes, uint64_t micros) {
  if (failed_) return;
  if (!writer_->Write(bytes, micros)) Fail(writer_->Reason());
}

CaptureAddress CaptureFile::NoteInterface(const std::string& path, const Guid& interface_class,
                                          uint64_t micros) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint16_t bus = kDefaultBus;
  const std::string key = LocationKey(path, &bus);
  auto found = addresses_.find(key);
  if (found == addresses_.end()) {
    // Past 127 devices the numbers repeat; the notes still name each path.
    const CaptureAddress address{bus, next_device_};
    next_device_ = next_device_ == kMaxDeviceNumber ? 1 : next_device_ + 1;
    found = addresses_.emplace(key, address).first;
  }
  const CaptureAddress address = found->second;
  const std::string class_text = GuidText(interface_class);
  if (noted_.emplace(std::make_pair(class_text, path), true).second && !failed_) {
    const std::string text =
        std::string(kNoteMagic) + "\nclass=" + class_text + "\npath=" + path + "\n";
    UsbmonRecord note;
    note.event = kEventComplete;
    note.transfer_type = kTransferNote;
    note.endpoint = kDirectionIn;
    note.bus = address.bus;
    note.device = address.device;
    note.data.assign(text.begin(), text.end());
    note.urb_length = static_cast<uint32_t>(note.data.size());
    note.SetTimeMicros(micros);
    WriteRecord(EncodeUsbmon(note), micros);
    Flush();
    // From the first device on, the capture is in its place, so a program
    // that crashes later still leaves everything recorded up to then.
    if (!failed_ && !committed_) {
      committed_ = true;
      if (const std::string error = writer_->Commit(); !error.empty()) Fail(error);
    }
  }
  return address;
}

void CaptureFile::WriteTransfer(const CapturedTransfer& transfer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return;
  const bool in = (transfer.setup.request_type & kDirectionIn) != 0;
  UsbmonRecord submit;
  submit.id = next_id_++;
  submit.event = kEventSubmit;
  submit.endpoint = in ? kDirectionIn : 0;
  submit.bus = transfer.address.bus;
  submit.device = transfer.address.device;
  submit.has_setup = true;
  submit.status = kStatusInProgress;
  submit.urb_length = transfer.length;
  submit.setup = transfer.setup;
  submit.setup_length = transfer.length;
  submit.data = transfer.data_out;
  submit.SetTimeMicros(transfer.submit_micros);
  WriteRecord(EncodeUsbmon(submit), transfer.submit_micros);

  UsbmonRecord complete = submit;
  complete.event = kEventComplete;
  complete.has_setup = false;
  complete.setup = {};
  complete.setup_length = 0;
  complete.status = transfer.ok ? 0 : kStatusIoError;
  complete.urb_length = in ? transfer.in_transferred : (transfer.ok ? transfer.length : 0);
  complete.data = transfer.data_in;
  complete.SetTimeMicros(transfer.complete_micros);
  WriteRecord(EncodeUsbmon(complete), transfer.complete_micros);
  ++transfers_;
  // Each transfer reaches the disk at once, so a recording of an update that
  // crashed or lost power still shows everything up to that point.
  Flush();
}

void CaptureFile::Flush() {
  if (failed_) return;
  if (!writer_->Flush()) Fail(writer_->Reason());
}

}  // namespace korvalen::record

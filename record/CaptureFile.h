// A capture file being written: usbmon records in a pcap file, shared by
// every driver that records into it (korvalen-fw's --all writes one file from
// several threads). Each device opened gets a bus and device number of its
// own and a note with its interface path and class before its first transfer.
//
// Writing never throws and never blocks a transfer for long: the first write
// that fails stops the recording, reports once through the error callback,
// and every later write is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "link/Driver.h"
#include "link/RequestRecord.h"
#include "record/PcapFile.h"

namespace korvalen::record {

// Where a device sits in the capture.
struct CaptureAddress {
  uint16_t bus = 0;
  uint8_t device = 0;
};

// One control transfer as a driver carried it.
struct CapturedTransfer {
  CaptureAddress address;
  SetupPacket setup;
  uint16_t length = 0;            // wLength: bytes of the data stage
  std::vector<uint8_t> data_out;  // host to device (empty for IN)
  std::vector<uint8_t> data_in;   // device to host as captured (empty for OUT)
  uint32_t in_transferred = 0;    // IN bytes the device sent, captured or not
  bool ok = false;
  uint64_t submit_micros = 0;  // since the epoch
  uint64_t complete_micros = 0;
};

class CaptureFile {
 public:
  using ErrorCallback = std::function<void(const std::string& message)>;

  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  // Opens the file and writes its header (see PcapWriter::Create: a FIFO
  // is a live capture, and `waiting` is told while it has no reader). A
  // regular file at path is replaced once the first device is noted, or
  // when the capture goes; until then it is as it was. nullptr with *error
  // set when it cannot be opened.
  static std::unique_ptr<CaptureFile> Create(const std::string& path, ErrorCallback on_error,
                                             std::string* error,
                                             const OutputFile::WaitNotice& waiting = {});

  // The command was refused before any traffic: an old file at the path
  // stays as it was, and nothing more is recorded.
  void Discard();

  // The address of the device at an interface path, given on first sight,
  // and a note of the path under its interface class the first time the
  // pair is seen. Paths of one device (its location) share an address.
  // `micros` (since the epoch) stamps the note.
  CaptureAddress NoteInterface(const std::string& path, const Guid& interface_class,
                               uint64_t micros);
  // The submission and completion records of one transfer.
  void WriteTransfer(const CapturedTransfer& transfer);

  // False once a write failed.
  bool Recording() const;
  uint64_t TransfersWritten() const;
  const std::string& path() const { return path_; }

 private:
  CaptureFile(std::string path, ErrorCallback on_error);
  void WriteRecord(std::span<const uint8_t> bytes, uint64_t micros);
  void Fail(const std::string& why);
  void Flush();

  std::unique_ptr<PcapWriter> writer_;
  std::string path_;
  ErrorCallback on_error_;
  mutable std::mutex mutex_;
  bool failed_ = false;
  bool committed_ = false;  // the capture has taken its name
  bool discarded_ = false;
  uint64_t next_id_ = 1;
  uint64_t transfers_ = 0;
  std::map<std::string, CaptureAddress> addresses_;  // by device location
  std::map<std::pair<std::string, std::string>, bool> noted_;
  uint8_t next_device_ = 1;
};

}  // namespace korvalen::record

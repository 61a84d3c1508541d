// The capture's container, the classic pcap file that capture tools read and
// write: a 24-byte file header (magic, version 2.4, snapshot length, link
// type), then each record behind a 16-byte header of its time stamp
// (seconds, microseconds) and its captured and original lengths. Written
// little-endian with microsecond stamps; read in either byte order, with
// microsecond or nanosecond stamps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "image/OutputFile.h"

namespace korvalen::record {

class PcapWriter {
 public:
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Opens the file (a UTF-8 name) by the rule of image/OutputFile.h and
  // writes its header: a FIFO or device directly (`waiting` is told when a
  // FIFO has no reader yet), a regular file as a fresh file beside it,
  // which takes the name at Commit or when the writer goes. nullptr with
  // *error set when it cannot be opened.
  static std::unique_ptr<PcapWriter> Create(const std::string& path, uint32_t link_type,
                                            uint32_t snap_length, std::string* error,
                                            const OutputFile::WaitNotice& waiting = {});
  // Puts a fresh file in the target's place unless Discard was called.
  ~PcapWriter();
  // Appends one record; buffered until Flush. False when the write failed.
  bool Write(std::span<const uint8_t> bytes, uint64_t micros);
  // Hands what was written to the system. False with Reason() set when
  // that failed.
  bool Flush();
  // Puts a fresh file in the target's place now; later records still reach
  // it. An error text, or empty.
  std::string Commit();
  // Nothing worth keeping was written: an old file at the target stays.
  void Discard() { discarded_ = true; }
  const std::string& Reason() const { return reason_; }

 private:
  explicit PcapWriter(std::unique_ptr<OutputFile> file) : file_(std::move(file)) {}
  std::unique_ptr<OutputFile> file_;
  std::string buffer_;
  std::string reason_;
  bool discarded_ = false;
};

class PcapReader {
 public:
  ~PcapReader();
  PcapReader(const PcapReader&) = delete;
  PcapReader& operator=(const PcapReader&) = delete;

  // nullptr with *error set when the file cannot be opened or does not
  // start with a pcap header.
  static std::unique_ptr<PcapReader> Open(const std::string& path, std::string* error);
  uint32_t link_type() const { return link_type_; }

  enum class Next { kRecord, kEnd, kCut };
  // The next record's captured bytes. kEnd at a clean end of the file;
  // kCut when the file ends inside a record or a record header is
  // impossible (longer than the snapshot length allows).
  Next Read(std::vector<uint8_t>* bytes);

 private:
  PcapReader(std::FILE* file, bool swapped, uint32_t link_type, uint32_t snap_length)
      : file_(file), swapped_(swapped), link_type_(link_type), snap_length_(snap_length) {}
  uint32_t Field(const uint8_t* bytes) const;

  std::FILE* file_;
  bool swapped_;
  uint32_t link_type_;
  uint32_t snap_length_;
};

}  // namespace korvalen::record

#include "record/PcapFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "image/PathText.h"

namespace korvalen::record {
namespace {

constexpr uint32_t kMagicMicros = 0xA1B2C3D4;
constexpr uint32_t kMagicNanos = 0xA1B23C4D;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;
// Beyond any record a capture tool writes, whatever the header claims.
constexpr uint32_t kMaxRecordSize = 0x40000;

void Put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::FILE* OpenFile(const std::string& path, bool write) {
#ifdef _WIN32
  return _wfopen(PathFromUtf8(path).c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(PathFromUtf8(path).c_str(), write ? "wb" : "rb");
#endif
}

uint32_t Swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

}  // namespace

PcapWriter::~PcapWriter() {
  if (!discarded_) Commit();
}

std::unique_ptr<PcapWriter> PcapWriter::Create(const std::string& path, uint32_t link_type,
                                               uint32_t snap_length, std::string* error,
                                               const OutputFile::WaitNotice& waiting) {
  std::string why;
  auto file = OutputFile::Open(PathFromUtf8(path), &why, waiting);
  if (!file) {
    *error = "cannot create " + path + ": " + why;
    return nullptr;
  }
  std::unique_ptr<PcapWriter> writer(new PcapWriter(std::move(file)));
  std::vector<uint8_t> header;
  Put(header, kMagicMicros, 4);
  Put(header, kVersionMajor, 2);
  Put(header, kVersionMinor, 2);
  Put(header, 0, 4);  // time zone offset
  Put(header, 0, 4);  // accuracy of the stamps
  Put(header, snap_length, 4);
  Put(header, link_type, 4);
  writer->buffer_.assign(header.begin(), header.end());
  // The header goes out now, so a file that cannot take it is refused before
  // anything is sent rather than at the first transfer.
  if (!writer->Flush()) {
    writer->Discard();
    *error = "cannot write " + path + ": " + writer->reason_;
    return nullptr;
  }
  return writer;
}

bool PcapWriter::Write(std::span<const uint8_t> bytes, uint64_t micros) {
  std::vector<uint8_t> header;
  Put(header, static_cast<uint32_t>(micros / 1000000), 4);
  Put(header, static_cast<uint32_t>(micros % 1000000), 4);
  Put(header, static_cast<uint32_t>(bytes.size()), 4);  // captured
  Put(header, static_cast<uint32_t>(bytes.size()), 4);  // on the wire
  buffer_.append(header.begin(), header.end());
  buffer_.append(bytes.begin(), bytes.end());
  return true;
}

bool PcapWriter::Flush() {
  if (buffer_.empty()) return true;
  const bool ok = file_->Write(buffer_);
  buffer_.clear();
  if (!ok) reason_ = file_->Reason();
  return ok;
}

std::string PcapWriter::Commit() {
  Flush();
  return file_->Commit();
}

PcapReader::~PcapReader() { std::fclose(file_); }

std::unique_ptr<PcapReader> PcapReader::Open(const std::string& path, std::string* error) {
  // Only a plain file: a FIFO would block the replay for good before its
  // first request, a folder reads as nothing.
  std::error_code status_error;
  const auto status = std::filesystem::status(PathFromUtf8(path), status_error);
  if (!status_error && std::filesystem::exists(status) &&
      !std::filesystem::is_regular_file(status)) {
    *error = "cannot read " + path + ": not a regular file";
    return nullptr;
  }
  errno = 0;
  std::FILE* file = OpenFile(path, false);
  if (file == nullptr) {
    *error = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
    return nullptr;
  }
  uint8_t header[kFileHeaderSize];
  if (std::fread(header, 1, sizeof header, file) != sizeof header) {
    std::fclose(file);
    *error = "cannot read " + path + ": too short for a pcap capture";
    return nullptr;
  }
  // The magic tells the byte order the file was written in.
  const uint32_t little =
      header[0] | header[1] << 8 | header[2] << 16 | static_cast<uint32_t>(header[3]) << 24;
  bool swapped = false;
  if (little == kMagicMicros || little == kMagicNanos) {
    swapped = false;
  } else if (Swap32(little) == kMagicMicros || Swap32(little) == kMagicNanos) {
    swapped = true;
  } else {
    std::fclose(file);
    *error = "cannot read " + path + ": not a pcap capture";
    return nullptr;
  }
  std::unique_ptr<PcapReader> reader(new PcapReader(file, swapped, 0, 0));
  reader->snap_length_ = reader->Field(header + 16);
  reader->link_type_ = reader->Field(header + 20) & 0xFFFF;  // the high bits carry flags
  return reader;
}

uint32_t PcapReader::Field(const uint8_t* bytes) const {
  const uint32_t little =
      bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return swapped_ ? Swap32(little) : little;
}

PcapReader::Next PcapReader::Read(std::vector<uint8_t>* bytes) {
  uint8_t header[kRecordHeaderSize];
  const size_t got = std::fread(header, 1, sizeof header, file_);
  if (got == 0) return Next::kEnd;
  if (got != sizeof header) return Next::kCut;
  const uint32_t captured = Field(header + 8);
  if (captured > kMaxRecordSize || (snap_length_ != 0 && captured > snap_length_))
    return Next::kCut;
  bytes->resize(captured);
  if (std::fread(bytes->data(), 1, captured, file_) != captured) return Next::kCut;
  return Next::kRecord;
}

}  // namespace korvalen::record

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/FileRead.h"
#include "image/HexDigits.h"
#include "image/Loaders.h"

namespace korvalen {

namespace {

constexpr char kRecordMark = ':';
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr size_t kDigitsPerByte = 2;
// Count, offset high, offset low, type before the data; one checksum after.
constexpr size_t kHeaderBytes = 4;
constexpr size_t kChecksumBytes = 1;
constexpr size_t kMaxDataBytes = 0xFF;
constexpr size_t kMinRecordDigits = (kHeaderBytes + kChecksumBytes) * kDigitsPerByte;

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeExtendedSegment = 0x02;
constexpr uint8_t kTypeStartSegment = 0x03;
constexpr uint8_t kTypeExtendedLinear = 0x04;
constexpr uint8_t kTypeStartLinear = 0x05;
constexpr size_t kAddressRecordBytes = 2;  // 02 and 04 carry one 16-bit value
constexpr size_t kStartRecordBytes = 4;    // 03 and 05 carry a 32-bit start address
constexpr unsigned kSegmentShift = 4;      // segment base = value * 16
constexpr unsigned kLinearShift = 16;      // linear base = value * 65536

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string DescribeChar(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x20 && code < 0x7F) return std::string("'") + c + "'";
  return "character " + Hex(code, 2);
}

class HexParser {
 public:
  HexParser(const std::filesystem::path& file, FirmwareImage& image) : file_(file), image_(image) {}

  LoadResult Run(std::string_view text) {
    FillImage(image_, kErasedByte);
    image_.length = 0;
    if (text.empty()) return FailFile(LoadError::kEmpty, "is empty");
    // Editors on Windows often save with a UTF-8 byte-order mark; it is the
    // only thing outside records that is let through.
    size_t pos = text.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    while (pos < text.size() && !saw_end_) {
      const size_t stop = std::min(text.find_first_of("\r\n", pos), text.size());
      ++line_number_;
      if (!ParseLine(text.substr(pos, stop - pos))) return *failure_;
      pos = stop;
      // One line end: CR LF, LF or a lone CR.
      if (pos < text.size() && text[pos++] == '\r' && pos < text.size() && text[pos] == '\n') {
        ++pos;
      }
    }
    if (!saw_end_ && record_number_ == 0) {
      return FailFile(LoadError::kEmpty, "holds no HEX records");
    }
    if (!saw_end_) {
      return FailFile(LoadError::kMalformed,
                      "ends without an end-of-file record :00000001FF (the file may be cut off)");
    }
    if (end_ == 0) return FailFile(LoadError::kEmpty, "holds no data");

    image_.length = static_cast<uint32_t>(end_);
    return LoadSucceeded(image_, file_);
  }

 private:
  // Returns false once a fault has been recorded in failure_.
  bool ParseLine(std::string_view line) {
    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return true;  // blank lines carry nothing
    const size_t last = line.find_last_not_of(kBlanks);
    if (line[first] != kRecordMark) {
      return FailLine(LoadError::kMalformed, "line does not start with ':'", false);
    }
    ++record_number_;
    const std::string_view digits = line.substr(first + 1, last - first);
    for (size_t i = 0; i < digits.size(); ++i) {
      if (!HexDigitValue(digits[i])) {
        return FailLine(LoadError::kMalformed, DescribeChar(digits[i]) + " at column " +
                                                   std::to_string(first + 2 + i) +
                                                   " is not a hexadecimal digit");
      }
    }
    if (digits.size() < kMinRecordDigits) {
      return FailLine(LoadError::kMalformed,
                      "record is too short (" + std::to_string(digits.size()) +
                          " digits, at least " + std::to_string(kMinRecordDigits) + " needed)");
    }
    const size_t count = ParseHexDigits(digits, kDigitsPerByte);
    const size_t want = (kHeaderBytes + count + kChecksumBytes) * kDigitsPerByte;
    if (digits.size() != want) {
      return FailLine(LoadError::kMalformed, std::string("record is too ") +
                                                 (digits.size() < want ? "short" : "long") +
                                                 " for its byte count " + Hex(count, 2) + " (" +
                                                 std::to_string(digits.size()) + " digits, " +
                                                 std::to_string(want) + " expected)");
    }
    std::array<uint8_t, kHeaderBytes + kMaxDataBytes + kChecksumBytes> bytes{};
    uint8_t sum = 0;
    for (size_t i = 0; i < want / kDigitsPerByte; ++i) {
      bytes[i] =
          static_cast<uint8_t>(ParseHexDigits(digits.substr(i * kDigitsPerByte), kDigitsPerByte));
      sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    if (sum != 0) {
      const uint8_t stated = bytes[kHeaderBytes + count];
      const auto expected = static_cast<uint8_t>(stated - sum);
      return FailLine(LoadError::kMalformed,
                      "record checksum is " + Hex(stated, 2) + ", expected " + Hex(expected, 2));
    }
    const auto offset = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
    const uint8_t type = bytes[3];
    const uint8_t* data = bytes.data() + kHeaderBytes;
    return ApplyRecord(type, offset, data, count);
  }

  bool ApplyRecord(uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
    switch (type) {
      case kTypeData: {
        // A record without data says nothing about the image's length.
        if (count == 0) return true;
        // Under a segment base the offset wraps within its 64 KiB segment.
        const size_t before_wrap = 0x10000 - offset;
        if (segment_base_ && count > before_wrap) {
          return StoreData(base_ + offset, data, before_wrap) &&
                 StoreData(base_, data + before_wrap, count - before_wrap);
        }
        return StoreData(base_ + offset, data, count);
      }
      case kTypeEndOfFile:
        if (!ExpectCount(type, count, 0)) return false;
        saw_end_ = true;
        return true;
      case kTypeExtendedSegment:
      case kTypeExtendedLinear: {
        if (!ExpectCount(type, count, kAddressRecordBytes)) return false;
        const uint64_t value = (static_cast<uint64_t>(data[0]) << 8) | data[1];
        base_ = value << (type == kTypeExtendedSegment ? kSegmentShift : kLinearShift);
        segment_base_ = type == kTypeExtendedSegment;
        return true;
      }
      case kTypeStartSegment:
      case kTypeStartLinear:
        // The device starts from its reset vector; a start address means nothing here.
        return ExpectCount(type, count, kStartRecordBytes);
      default:
        return FailLine(LoadError::kMalformed, "unknown record type " + Hex(type, 2));
    }
  }

  bool StoreData(uint64_t address, const uint8_t* data, size_t count) {
    const uint64_t end = address + count;
    if (end > kFirmwareImageSize) {
      return FailLine(LoadError::kOutOfRange, "data ends at " + Hex(end, 6) +
                                                  ", beyond the 256 KiB image (" +
                                                  Hex(kFirmwareImageSize, 6) + ")");
    }
    // Records may repeat bytes, but two records that disagree about a byte
    // leave no way to know which one the firmware's author meant.
    if (written_by_.empty()) written_by_.assign(kFirmwareImageSize, 0);
    for (size_t i = 0; i < count; ++i) {
      const size_t at = static_cast<size_t>(address) + i;
      const uint32_t earlier = written_by_[at];
      if (earlier != 0 && image_.bytes[at] != data[i]) {
        return FailLine(LoadError::kMalformed,
                        "data " + Hex(data[i], 2) + " at " + Hex(at, 6) + " conflicts with line " +
                            std::to_string(earlier) + ", which put " + Hex(image_.bytes[at], 2) +
                            " there (overlapping records)");
      }
    }
    std::copy(data, data + count, image_.bytes.begin() + static_cast<ptrdiff_t>(address));
    std::fill_n(written_by_.begin() + static_cast<ptrdiff_t>(address), count,
                static_cast<uint32_t>(line_number_));
    end_ = std::max(end_, end);
    return true;
  }

  bool ExpectCount(uint8_t type, size_t count, size_t want) {
    if (count == want) return true;
    return FailLine(LoadError::kMalformed, "record type " + Hex(type, 2) + " needs byte count " +
                                               Hex(want, 2) + ", has " + Hex(count, 2));
  }

  bool FailLine(LoadError error, const std::string& what, bool in_record = true) {
    std::string where = DisplayName(file_) + " line " + std::to_string(line_number_);
    if (in_record) where += " (record " + std::to_string(record_number_) + ")";
    failure_ = FailLoad(image_, file_, error, where + ": " + what);
    failure_->line = line_number_;
    failure_->record = in_record ? record_number_ : 0;
    return false;
  }

  LoadResult FailFile(LoadError error, const std::string& what) {
    return FailLoad(image_, file_, error, DisplayName(file_) + " " + what);
  }

  const std::filesystem::path file_;
  FirmwareImage& image_;
  uint64_t base_ = 0;  // from the last extended address record
  bool segment_base_ = false;  // that record was a segment (type 02) record
  uint64_t end_ = 0;   // highest end of any data record
  size_t line_number_ = 0;
  size_t record_number_ = 0;
  bool saw_end_ = false;
  std::optional<LoadResult> failure_;
  // The text line whose record last wrote each image byte; 0 for none.
  std::vector<uint32_t> written_by_;
};

}  // namespace

LoadResult ParseHexText(std::string_view text, const std::filesystem::path& file_name,
                        FirmwareImage& image) {
  return HexParser(file_name, image).Run(text);
}

LoadResult LoadHexFile(const std::filesystem::path& path, FirmwareImage& image) {
  std::string text;
  const LoadError read = ReadFileBounded(path, kMaxHexTextSize, text);
  if (read != LoadError::kNone) {
    return FailLoad(image, path, read, ReadErrorMessage(path, read, kMaxHexTextSize));
  }
  return ParseHexText(text, path, image);
}

}  // namespace korvalen

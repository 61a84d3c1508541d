// A serial number FORMAT: literal text with one counter field {seq:N} (N
// digits, zero-padded) and optional local-date fields {yyyy}, {yy}, {mm},
// {dd}. Every field has a fixed width, so a FORMAT's expansion always has
// the same length, checked once when the FORMAT is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalen::station {

// The device keeps a serial of at most this many bytes.
inline constexpr size_t kMaxSerialBytes = 31;

struct LocalDate {
  int year = 1970;
  int month = 1;
  int day = 1;
};

// Today in the machine's local time zone.
LocalDate Today();

class SerialFormat {
 public:
  // nullopt with *error saying why when text is not a usable FORMAT: no
  // counter, two counters, {seq} without a width, an unknown field, a byte
  // outside printable ASCII, or an expansion longer than kMaxSerialBytes.
  static std::optional<SerialFormat> Parse(std::string_view text, std::string* error);

  // The serial for number on date; nullopt when number needs more digits
  // than the counter has (the counter is used up).
  std::optional<std::string> Expand(uint64_t number, const LocalDate& date) const;

  // The counter's number in serial when serial is one this FORMAT makes
  // (on any date); nullopt otherwise.
  std::optional<uint64_t> Match(std::string_view serial) const;

  // The largest number the counter can hold.
  uint64_t MaxNumber() const;
  // Bytes of every expansion.
  size_t Length() const;
  const std::string& text() const { return text_; }

 private:
  enum class Kind { kLiteral, kSeq, kYear4, kYear2, kMonth, kDay };
  struct Piece {
    Kind kind;
    std::string literal;  // kLiteral only
    int width = 0;        // the others
  };
  std::string text_;
  std::vector<Piece> pieces_;
  int seq_digits_ = 0;
};

}  // namespace korvalen::station

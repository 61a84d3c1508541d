#include "station/SerialFormat.h"

#include <ctime>
#include <mutex>

namespace korvalen::station {
namespace {

// Both stores keep numbers as signed 64-bit integers: 18 digits always fit.
constexpr int kMaxSeqDigits = 18;

bool PrintableAscii(char c) { return c >= 0x20 && c <= 0x7E; }

std::string Digits(uint64_t value, int width) {
  std::string text(static_cast<size_t>(width), '0');
  for (int i = width - 1; i >= 0 && value > 0; --i) {
    text[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return text;
}

}  // namespace

LocalDate Today() {
  // std::localtime shares one buffer across threads: one caller at a time.
  static std::mutex mutex;
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  const std::tm* local = std::localtime(&now);
  if (local == nullptr) return {};
  return {local->tm_year + 1900, local->tm_mon + 1, local->tm_mday};
}

std::optional<SerialFormat> SerialFormat::Parse(std::string_view text, std::string* error) {
  SerialFormat format;
  format.text_ = std::string(text);
  auto fail = [&](std::string message) -> std::optional<SerialFormat> {
    *error = "serial FORMAT \"" + format.text_ + "\": " + std::move(message);
    return std::nullopt;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (!PrintableAscii(text[i])) {
      format.text_.clear();  // the text itself would not print: leave it out
      *error = "serial FORMAT: byte " + std::to_string(i + 1) +
               " is not printable ASCII; the device keeps only bytes 0x20-0x7E";
      return std::nullopt;
    }
  }
  int counters = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '}') return fail("a '}' without its '{'");
    if (text[i] != '{') {
      const size_t end = text.find_first_of("{}", i);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      format.pieces_.push_back({Kind::kLiteral, std::string(text.substr(i, stop - i))});
      i = stop;
      continue;
    }
    const size_t close = text.find('}', i);
    if (close == std::string_view::npos) return fail("a '{' without its '}'");
    const std::string_view field = text.substr(i + 1, close - i - 1);
    i = close + 1;
    if (field == "yyyy") {
      format.pieces_.push_back({Kind::kYear4, {}, 4});
    } else if (field == "yy") {
      format.pieces_.push_back({Kind::kYear2, {}, 2});
    } else if (field == "mm") {
      format.pieces_.push_back({Kind::kMonth, {}, 2});
    } else if (field == "dd") {
      format.pieces_.push_back({Kind::kDay, {}, 2});
    } else if (field == "seq") {
      return fail("{seq} needs its width: {seq:N} with N digits, e.g. {seq:6}");
    } else if (field.starts_with("seq:")) {
      const std::string_view digits = field.substr(4);
      int width = 0;
      bool ok = !digits.empty() && digits.size() <= 2;
      for (char c : digits) {
        if (c < '0' || c > '9') ok = false;
        width = width * 10 + (c - '0');
      }
      if (!ok || width < 1 || width > kMaxSeqDigits)
        return fail("{" + std::string(field) + "}: N must be a number of digits from 1 to " +
                    std::to_string(kMaxSeqDigits));
      format.pieces_.push_back({Kind::kSeq, {}, width});
      format.seq_digits_ = width;
      ++counters;
    } else {
      return fail("unknown field {" + std::string(field) +
                  "}; the fields are {seq:N}, {yyyy}, {yy}, {mm} and {dd}");
    }
  }
  if (counters == 0) return fail("no counter field: add {seq:N}, e.g. {seq:6}");
  if (counters > 1) return fail("more than one counter field {seq:N}");
  if (format.Length() > kMaxSerialBytes)
    return fail("it expands to " + std::to_string(format.Length()) +
                " bytes; the device keeps at most " + std::to_string(kMaxSerialBytes));
  return format;
}

size_t SerialFormat::Length() const {
  size_t length = 0;
  for (const Piece& piece : pieces_)
    length +=
        piece.kind == Kind::kLiteral ? piece.literal.size() : static_cast<size_t>(piece.width);
  return length;
}

uint64_t SerialFormat::MaxNumber() const {
  uint64_t max = 0;
  for (int i = 0; i < seq_digits_; ++i) max = max * 10 + 9;
  return max;
}

std::optional<std::string> SerialFormat::Expand(uint64_t number, const LocalDate& date) const {
  if (number > MaxNumber()) return std::nullopt;
  std::string serial;
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Kind::kLiteral:
        serial += piece.literal;
        break;
      case Kind::kSeq:
        serial += Digits(number, piece.width);
        break;
      case Kind::kYear4:
        serial += Digits(static_cast<uint64_t>(date.year) % 10000, 4);
        break;
      case Kind::kYear2:
        serial += Digits(static_cast<uint64_t>(date.year) % 100, 2);
        break;
      case Kind::kMonth:
        serial += Digits(static_cast<uint64_t>(date.month), 2);
        break;
      case Kind::kDay:
        serial += Digits(static_cast<uint64_t>(date.day), 2);
        break;
    }
  }
  return serial;
}

std::optional<uint64_t> SerialFormat::Match(std::string_view serial) const {
  if (serial.size() != Length()) return std::nullopt;
  std::optional<uint64_t> number;
  size_t at = 0;
  for (const Piece& piece : pieces_) {
    if (piece.kind == Kind::kLiteral) {
      if (serial.substr(at, piece.literal.size()) != piece.literal) return std::nullopt;
      at += piece.literal.size();
      continue;
    }
    uint64_t value = 0;
    for (int i = 0; i < piece.width; ++i) {
      const char c = serial[at++];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (piece.kind == Kind::kMonth && (value < 1 || value > 12)) return std::nullopt;
    if (piece.kind == Kind::kDay && (value < 1 || value > 31)) return std::nullopt;
    if (piece.kind == Kind::kSeq) number = value;
  }
  return number;
}

}  // namespace korvalen::station

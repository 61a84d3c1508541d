// Numbers typed into the window's edits and grid cells, converted as the
// toolkit converts integers, with the error text the window shows for bad
// input.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

#include "image/HexDigits.h"

namespace korvalen {

// nullopt when the text (blanks around it aside) is no decimal integer.
inline std::optional<int64_t> ParseDecimal(const QString& text) {
  // The conversion ends at a NUL and would take the digits before it; a
  // pasted text can carry one, and it is no digit.
  if (text.contains(QChar(u'\0'))) return std::nullopt;
  bool ok = false;
  const qint64 value = text.trimmed().toLongLong(&ok, 10);
  if (!ok) return std::nullopt;
  return value;
}

inline QString InvalidIntegerText(const QString& text) {
  return QString("'%1' is not a valid integer value").arg(text);
}

// A hexadecimal number typed into a grid cell or an address edit, converted
// as "0x" + text; nullopt when it does not convert. A character outside
// ASCII is no digit in any encoding, so UTF-8 serves.
inline std::optional<uint32_t> ParseTypedHexText(const QString& text) {
  return ParseTypedHex(text.toStdString());
}

// The error for such a text, which it shows as typed.
inline QString InvalidHexText(const QString& text) { return InvalidIntegerText("0x" + text); }

}  // namespace korvalen

#include "cli/RecordJson.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "image/Utf8Text.h"

namespace korvalen::cli {
namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

// Days since 1970-01-01 of a proleptic Gregorian date, and back: plain
// arithmetic, the same on every system whatever its time functions.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

// The digits of text[at, at+count) as a number, or -1.
int Number(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::string JedecText(const std::optional<uint32_t>& jedec) {
  if (!jedec) return {};
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(*jedec));
  return text;
}

std::string Seconds(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(us) / kUsPerSecond);
  return text;
}

}  // namespace

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string UtcTimeText(int64_t utc_us) {
  int64_t seconds = utc_us / kUsPerSecond;
  int64_t micros = utc_us % kUsPerSecond;
  if (micros < 0) {
    micros += kUsPerSecond;
    --seconds;
  }
  int64_t days = seconds / kSecondsPerDay;
  int64_t in_day = seconds % kSecondsPerDay;
  if (in_day < 0) {
    in_day += kSecondsPerDay;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%06lldZ",
                static_cast<long long>(year), month, day, static_cast<int>(in_day / 3600),
                static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60),
                static_cast<long long>(micros));
  return text;
}

std::optional<int64_t> ParseSinceTime(std::string_view text, int64_t now_utc_us) {
  if (text.size() >= 2) {
    const char unit = text.back();
    const int64_t per = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? kSecondsPerDay : 0;
    const int count = Number(text, 0, text.size() - 1);
    if (per != 0 && count >= 0 && text.size() <= 7) return now_utc_us - count * per * kUsPerSecond;
  }
  // YYYY-MM-DD[(T| )HH:MM[:SS]][Z]
  bool utc = false;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    utc = true;
    text.remove_suffix(1);
  }
  const int year = Number(text, 0, 4);
  const int month = Number(text, 5, 2);
  const int day = Number(text, 8, 2);
  if (text.size() < 10 || year < 1970 || text[4] != '-' || text[7] != '-' || month < 1 ||
      month > 12 || day < 1 || day > 31)
    return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (text.size() > 10) {
    if (text[10] != 'T' && text[10] != ' ') return std::nullopt;
    hour = Number(text, 11, 2);
    minute = Number(text, 14, 2);
    if (text.size() < 16 || text[13] != ':' || hour < 0 || hour > 23 || minute < 0 || minute > 59)
      return std::nullopt;
    if (text.size() > 16) {
      second = Number(text, 17, 2);
      if (text.size() != 19 || text[16] != ':' || second < 0 || second > 59) return std::nullopt;
    }
  }
  if (utc) {
    const int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return ((days * kSecondsPerDay) + hour * 3600 + minute * 60 + second) * kUsPerSecond;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // the zone's own rule for that day
  const std::time_t instant = std::mktime(&local);
  if (instant == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(instant) * kUsPerSecond;
}

nlohmann::json RecordJson(const station::RunRecord& r) {
  auto text = [](const std::string& value) { return EscapeInvalidUtf8(value); };
  auto or_null = [&](const std::string& value) -> nlohmann::json {
    return value.empty() ? nlohmann::json(nullptr) : nlohmann::json(text(value));
  };
  return {
      {"id", r.id},
      {"station", text(r.station)},
      {"operator", text(r.operator_name)},
      {"device_path", text(r.device_path)},
      {"model", or_null(r.model)},
      {"file_name", or_null(r.file_name)},
      {"file_sha256", or_null(r.file_sha256)},
      {"jedec_id", r.jedec_id ? nlohmann::json(JedecText(r.jedec_id)) : nlohmann::json(nullptr)},
      {"firmware_version_reported", or_null(r.firmware_version_reported)},
      {"result", std::string(station::RunResultText(r.result))},
      {"failed_step", or_null(r.failed_step)},
      {"reason", or_null(r.reason)},
      {"attempts", r.attempts},
      {"device_gone", r.device_gone},
      {"started_utc", UtcTimeText(r.started_utc_us)},
      {"ended_utc", UtcTimeText(r.ended_utc_us)},
      {"duration_s", static_cast<double>(r.duration_us) / kUsPerSecond},
      {"serial_before", or_null(r.serial_before)},
      {"serial_sent", or_null(r.serial_sent)},
      {"serial_format", or_null(r.serial_format)},
      {"serial_state", std::string(station::SerialStateText(r.serial_state))},
  };
}

std::string RecordCsvHeader() {
  return "id,station,operator,device_path,model,file_name,file_sha256,jedec_id,"
         "firmware_version_reported,result,failed_step,reason,attempts,device_gone,started_utc,"
         "ended_utc,duration_s,serial_before,serial_sent,serial_format,serial_state\n";
}

std::string RecordCsvLine(const station::RunRecord& r) {
  const std::vector<std::string> fields = {
      r.id,
      r.station,
      r.operator_name,
      r.device_path,
      r.model,
      r.file_name,
      r.file_sha256,
      JedecText(r.jedec_id),
      r.firmware_version_reported,
      std::string(station::RunResultText(r.result)),
      r.failed_step,
      r.reason,
      std::to_string(r.attempts),
      r.device_gone ? "true" : "false",
      UtcTimeText(r.started_utc_us),
      UtcTimeText(r.ended_utc_us),
      Seconds(r.duration_us),
      r.serial_before,
      r.serial_sent,
      r.serial_format,
      std::string(station::SerialStateText(r.serial_state)),
  };
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += CsvField(fields[i]);
  }
  return line + "\n";
}

}  // namespace korvalen::cli

// Times keeping one unit's record in the station's SQLite store, as the
// station keeps it after each verdict: one Add per record, each its own
// transaction, on a store file that already holds the records before it.
//
// Usage: korvalen-station-record-bench STORE_FILE [RECORDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "station/Store.h"

int main(int argc, char** argv) {
  using korvalen::station::RunRecord;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s STORE_FILE [RECORDS]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  std::string error;
  auto store = korvalen::station::OpenStore(argv[1], &error);
  if (!store) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    RunRecord record;
    record.id = korvalen::station::NewRecordId();
    record.station = "bench";
    record.operator_name = "bench";
    record.device_path = "usb:bus-001:port-" + std::to_string(i % 16 + 1);
    record.model = "KORVALEN_TIDE";
    record.file_name = "KORVALEN_TIDE.hex";
    record.file_sha256 = std::string(64, 'a');
    record.jedec_id = 0xEF3012;
    record.firmware_version_reported = "1.7";
    record.result = korvalen::station::RunResult::kPassed;
    record.attempts = 1;
    record.started_utc_us = 1'800'000'000'000'000 + i;
    record.ended_utc_us = record.started_utc_us + 900'000;
    record.duration_us = 900'000;
    const auto start = std::chrono::steady_clock::now();
    const auto status = store->Add(record);
    const auto end = std::chrono::steady_clock::now();
    if (!status) {
      std::fprintf(stderr, "record %d not kept: %s\n", i, status.error.c_str());
      return 1;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(micros.begin(), micros.end());
  const auto at = [&](double q) { return micros[static_cast<size_t>(q * (micros.size() - 1))]; };
  std::printf("records %d  median %.0f us  p90 %.0f us  p99 %.0f us  max %.0f us\n", count,
              at(0.5), at(0.9), at(0.99), micros.back());
  return 0;
}

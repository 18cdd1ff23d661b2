// The progress record every codec receives for one call.
//
// The I/O object builds it on its own stack: `handler` reports a percentage (none for
// parameters-only reads), `percentPerRow` is set by the codec (typically 100 / rows), and
// `abortFlag` points at the object's `aborting`. A codec reports Trunc(row * percentPerRow),
// polls the flag between rows, and on failure calls Fail(): the flag is set and the status
// (with its reason) is kept for the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "imaging/status.h"

struct ProgressRecord {
  std::function<void(int percent)> handler;
  void* sender = nullptr;
  std::int32_t rowCounter = 0;
  double percentPerRow = 0.0;
  std::atomic<bool>* abortFlag = nullptr;
  TVlStatus failure;  // the first failure a codec reported

  bool Aborted() const { return abortFlag && abortFlag->load(std::memory_order_relaxed); }
  void Report(int percent) const {
    if (handler)
      handler(percent);
  }
  void ReportRow(std::int64_t row) const {
    if (handler)
      handler(static_cast<int>(static_cast<double>(row) * percentPerRow));
  }
  // Sets the abort flag and remembers the first reason. Returns the status for chaining.
  TVlStatus Fail(TVlStatus s) {
    if (failure.ok())
      failure = s;
    if (abortFlag)
      abortFlag->store(true);
    return s;
  }
};

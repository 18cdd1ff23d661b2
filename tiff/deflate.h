// Deflate strips (TIFF compressions 8 and 32946: a zlib stream, header and Adler-32 included).
//
// Entry points: InflateStrip (decode one whole strip), TVlDeflateStripWriter (code the rows of
// one strip into a stream), ZlibLevelFromTiffZipLevel.
//
// Inflating stops exactly at the size the strip's rows need: the caller knows rows x row
// length, so the output never grows beyond it, however well the data compress (a "zip bomb"
// simply ends there). Data after the rows, or a missing Adler-32 behind them, are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/status.h"

class TVlStream;

// Inflates the zlib stream data[0 .. dataLength) into `out`, which ends up holding at most
// `expectedSize` bytes (the strip's rows). Returns
//   ok              out holds expectedSize bytes;
//   truncated       the stream ended or the data ran out first: out holds what was inflated;
//   badData         zlib reported an error (the reason is zlib's message): out holds the bytes
//                   inflated before it;
//   limitExceeded   expectedSize is above the byte ceiling of imaging/limits.h.
TVlStatus InflateStrip(const std::uint8_t* data, std::size_t dataLength, std::size_t expectedSize,
                       std::vector<std::uint8_t>& out);

// tiffZipLevel to a zlib level: 0 -> 1 (fastest), 1 -> the zlib default (6), 2 -> 9 (best);
// any other value -> the zlib default.
int ZlibLevelFromTiffZipLevel(std::int32_t tiffZipLevel);

// Codes the rows of one strip as one zlib stream written to `stream` as it goes.
//   TVlDeflateStripWriter w;
//   VL_TRY(w.Begin(stream, params.tiffZipLevel));
//   for each row: VL_TRY(w.WriteRow(row, rowBytes));
//   VL_TRY(w.Finish());
// A failed write (ioError "short write") or a zlib error leaves the writer failed; later calls
// return the same status. Destroying an unfinished writer releases zlib without writing more.
class TVlDeflateStripWriter {
 public:
  TVlDeflateStripWriter();
  ~TVlDeflateStripWriter();
  TVlDeflateStripWriter(const TVlDeflateStripWriter&) = delete;
  TVlDeflateStripWriter& operator=(const TVlDeflateStripWriter&) = delete;

  TVlStatus Begin(TVlStream& stream, std::int32_t tiffZipLevel);
  TVlStatus WriteRow(const std::uint8_t* row, std::int32_t length);
  TVlStatus Finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

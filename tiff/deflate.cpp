// Deflate strip coder over zlib; see deflate.h.
#include "tiff/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "imaging/limits.h"
#include "imaging/stream.h"

namespace {
// zlib counts in uInt; feed it in slices it can hold.
constexpr std::size_t kSlice = std::numeric_limits<uInt>::max() / 2;
}  // namespace

TVlStatus InflateStrip(const std::uint8_t* data, std::size_t dataLength, std::size_t expectedSize,
                       std::vector<std::uint8_t>& out) {
  out.clear();
  VL_TRY(CheckBufferSize(static_cast<std::int64_t>(std::min<std::size_t>(expectedSize, INT64_MAX))));
  if (expectedSize == 0)
    return TVlStatus::Ok();
  // The buffer grows geometrically up to the expected size, starting near what the data
  // could plausibly hold, so that a short or corrupt stream costs no more than it delivers.
  std::size_t capacity = std::min(expectedSize, std::max<std::size_t>(65536, dataLength * 4));
  auto grow = [&](std::size_t to) {
    try {
      out.resize(to);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  };
  if (!grow(capacity))
    return TVlStatus::LimitExceeded("inflated strip does not fit in memory");

  z_stream z{};
  if (inflateInit(&z) != Z_OK)
    return TVlStatus::LimitExceeded("zlib could not start");
  std::size_t inPos = 0;
  std::size_t outPos = 0;
  TVlStatus result = TVlStatus::Ok();
  while (outPos < expectedSize) {
    if (z.avail_in == 0 && inPos < dataLength) {
      const std::size_t n = std::min(kSlice, dataLength - inPos);
      z.next_in = const_cast<Bytef*>(data + inPos);
      z.avail_in = uInt(n);
      inPos += n;
    }
    if (outPos == capacity) {
      capacity = std::min(expectedSize, capacity * 2);
      if (!grow(capacity)) {
        result = TVlStatus::LimitExceeded("inflated strip does not fit in memory");
        break;
      }
    }
    const std::size_t room = std::min(kSlice, capacity - outPos);
    z.next_out = out.data() + outPos;
    z.avail_out = uInt(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    outPos += room - z.avail_out;
    if (rc == Z_STREAM_END) {
      if (outPos < expectedSize)
        result = TVlStatus::Truncated("deflate stream ended before the strip's rows");
      break;
    }
    if (rc == Z_NEED_DICT) {
      result = TVlStatus::BadData("deflate stream needs a preset dictionary");
      break;
    }
    if (rc == Z_DATA_ERROR || rc == Z_STREAM_ERROR || rc == Z_MEM_ERROR) {
      // zlib's messages are static strings.
      result = TVlStatus::BadData(z.msg ? z.msg : "deflate data error");
      break;
    }
    if (rc == Z_BUF_ERROR) {
      // No progress possible: all input used and nothing pending.
      result = z.avail_in == 0 && inPos >= dataLength
                   ? TVlStatus::Truncated("deflate data ended before the strip's rows")
                   : TVlStatus::BadData("deflate stream made no progress");
      break;
    }
  }
  inflateEnd(&z);
  out.resize(outPos);
  return result;
}

int ZlibLevelFromTiffZipLevel(std::int32_t tiffZipLevel) {
  switch (tiffZipLevel) {
    case 0:
      return 1;
    case 2:
      return 9;
    default:
      return Z_DEFAULT_COMPRESSION;
  }
}

struct TVlDeflateStripWriter::Impl {
  z_stream z{};
  bool started = false;
  TVlStream* stream = nullptr;
  TVlStatus failure;
  Bytef buffer[16384];

  // Runs deflate with `flush` until zlib has nothing more to give for the input it holds.
  TVlStatus Pump(int flush) {
    for (;;) {
      z.next_out = buffer;
      z.avail_out = sizeof buffer;
      const int rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR)
        return failure = TVlStatus::BadData(z.msg ? z.msg : "deflate error");
      const std::int64_t n = std::int64_t(sizeof buffer - z.avail_out);
      if (n > 0 && !stream->WriteAll(buffer, n))
        return failure = TVlStatus::IoError("short write");
      if (flush == Z_FINISH ? rc == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0))
        return TVlStatus::Ok();
    }
  }
};

TVlDeflateStripWriter::TVlDeflateStripWriter() = default;

TVlDeflateStripWriter::~TVlDeflateStripWriter() {
  if (impl_ && impl_->started)
    deflateEnd(&impl_->z);
}

TVlStatus TVlDeflateStripWriter::Begin(TVlStream& stream, std::int32_t tiffZipLevel) {
  if (impl_ && impl_->started)
    deflateEnd(&impl_->z);
  impl_.reset(new (std::nothrow) Impl);
  if (!impl_)
    return TVlStatus::LimitExceeded("deflate writer could not be created");
  impl_->stream = &stream;
  if (deflateInit(&impl_->z, ZlibLevelFromTiffZipLevel(tiffZipLevel)) != Z_OK)
    return impl_->failure = TVlStatus::LimitExceeded("zlib could not start");
  impl_->started = true;
  return TVlStatus::Ok();
}

TVlStatus TVlDeflateStripWriter::WriteRow(const std::uint8_t* row, std::int32_t length) {
  if (!impl_ || !impl_->started)
    return impl_ ? impl_->failure : TVlStatus::BadData("deflate writer not started");
  if (!impl_->failure.ok())
    return impl_->failure;
  if (length <= 0)
    return TVlStatus::Ok();
  impl_->z.next_in = const_cast<Bytef*>(row);
  impl_->z.avail_in = uInt(length);
  return impl_->Pump(Z_NO_FLUSH);
}

TVlStatus TVlDeflateStripWriter::Finish() {
  if (!impl_ || !impl_->started)
    return impl_ ? impl_->failure : TVlStatus::BadData("deflate writer not started");
  TVlStatus s = impl_->failure.ok() ? impl_->Pump(Z_FINISH) : impl_->failure;
  deflateEnd(&impl_->z);
  impl_->started = false;
  if (s.ok())
    impl_.reset();
  return s;
}

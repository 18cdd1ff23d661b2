#include "tiff/tiff_codecs.h"

#include <algorithm>
#include <vector>

#include "imaging/codec_hooks.h"
#include "imaging/formats/jpeg.h"
#include "imaging/stream.h"
#include "tiff/lzw.h"
#include "tiff/tiff_reader.h"
#include "tiff/tiff_writer.h"

void InstallDefaultCodecs() {
  DefaultTiffLzwDecoder() = &TIFFLzwDecode;
  DefaultTiffLzwEncoder() = &TIFFLzwEncode;
  DefaultExifBlockReader() = &ReadExifBlock;
  DefaultExifBlockWriter() = &BuildExifBlock;
}

namespace {

// Byte-at-a-time reading over a stream, a block at a time underneath.
class TBlockReader {
 public:
  TBlockReader(TVlStream& s, std::int64_t start) : s_(s), blockStart_(start) {}
  bool Next(std::uint8_t& b) {
    if (at_ == len_ && !Refill())
      return false;
    b = buf_[at_++];
    return true;
  }
  std::int64_t Position() const { return blockStart_ + std::int64_t(at_); }
  // Moves forward by n bytes (possibly beyond the end, where reading stops).
  void Skip(std::int64_t n) {
    const std::int64_t target = Position() + n;
    if (target <= blockStart_ + std::int64_t(len_)) {
      at_ = std::size_t(target - blockStart_);
    } else {
      blockStart_ = target;
      at_ = len_ = 0;
    }
  }

 private:
  bool Refill() {
    blockStart_ += std::int64_t(len_);
    at_ = len_ = 0;
    if (!s_.Seek(blockStart_))
      return false;
    const std::int64_t got = s_.Read(buf_.data(), std::int64_t(buf_.size()));
    len_ = got > 0 ? std::size_t(got) : 0;
    return len_ > 0;
  }

  TVlStream& s_;
  std::vector<std::uint8_t> buf_ = std::vector<std::uint8_t>(65536);
  std::int64_t blockStart_;
  std::size_t at_ = 0, len_ = 0;
};

}  // namespace

std::int64_t JPEGLength(TVlStream& stream) {
  TVlStreamRestore restore(stream);
  const std::int64_t start = restore.Start();
  const std::int64_t size = stream.Size();
  TBlockReader r(stream, start);
  std::uint8_t b;
  while (r.Next(b)) {
    if (b != 0xFF)
      continue;
    std::uint8_t m;
    do {
      if (!r.Next(m))
        goto done;
    } while (m == 0xFF);
    if (m == 0xD9)
      break;
    if ((m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xFE)) {
      std::uint8_t hi, lo;
      if (!r.Next(hi) || !r.Next(lo))
        break;
      const int length = hi << 8 | lo;  // includes its own two bytes
      r.Skip(std::max(0, length - 2));
    }
  }
done:
  return std::clamp<std::int64_t>(r.Position(), start, std::max(start, size)) - start;
}

// JPEG strips and old-style JPEG pages; see tiff_jpeg.h.
#include "tiff/tiff_jpeg.h"

#include <algorithm>
#include <cstring>

#include "imaging/limits.h"
#include "imaging/stream.h"
#include "tiff/tiff_codecs.h"

namespace {

std::int32_t BytesPerPixel(TVlPixelFormat f) {
  return f == vl8g ? 1 : f == vlCMYK ? 4 : 3;
}

// Copies the part of `src` that lies inside `page` when src's top left corner is at (x, y).
void CopyInto(TVlBitmap& src, TVlBitmap& page, std::int32_t x, std::int32_t y) {
  if (x >= page.Width() || y >= page.Height() || x < 0 || y < 0)
    return;
  const std::int32_t bpp = BytesPerPixel(page.PixelFormat());
  const std::int32_t w = std::min(src.Width(), page.Width() - x);
  const std::int32_t h = std::min(src.Height(), page.Height() - y);
  for (std::int32_t r = 0; r < h; ++r) {
    // One row of each bitmap at a time: either may live in a temporary file.
    const std::uint8_t* s = src.RowPointer(r);
    std::memcpy(page.RowPointer(y + r) + std::size_t(x) * std::size_t(bpp), s, std::size_t(w) * std::size_t(bpp));
  }
}

// [off, off + len) of the stream, clamped to its end.
std::vector<std::uint8_t> ReadClamped(TVlStream& stream, std::int64_t off, std::int64_t len) {
  std::vector<std::uint8_t> out;
  const std::int64_t size = stream.Size();
  if (off < 0 || off >= size || len <= 0)
    return out;
  len = std::min(len, size - off);
  out.resize(std::size_t(len));
  if (!stream.Seek(off))
    out.clear();
  out.resize(std::size_t(std::max<std::int64_t>(0, stream.Read(out.data(), len))));
  return out;
}

// The first marker segment of a strip, after an SOI when there is one (marker and length
// included); empty when there is none.
std::vector<std::uint8_t> FirstSegment(const std::vector<std::uint8_t>& strip) {
  std::size_t i = 0;
  if (strip.size() >= 2 && strip[0] == 0xFF && strip[1] == 0xD8)
    i = 2;
  if (i + 4 > strip.size() || strip[i] != 0xFF || strip[i + 1] < 0xC0 || strip[i + 1] == 0xFF)
    return {};
  const std::size_t len = std::size_t(strip[i + 2]) << 8 | strip[i + 3];
  if (len < 2 || i + 2 + len > strip.size())
    return {};
  return std::vector<std::uint8_t>(strip.begin() + std::ptrdiff_t(i), strip.begin() + std::ptrdiff_t(i + 2 + len));
}

// Offset of the first start-of-scan segment of a complete JPEG stream, walking its segments.
std::size_t FirstScanOffset(const std::vector<std::uint8_t>& j) {
  std::size_t i = 2;
  while (i + 4 <= j.size() && j[i] == 0xFF) {
    if (j[i + 1] == 0xDA)
      return i;
    if (j[i + 1] == 0xFF) {
      ++i;
      continue;
    }
    i += 2 + (std::size_t(j[i + 2]) << 8 | j[i + 3]);
  }
  return j.size();
}

}  // namespace

TVlStatus ReadTIFFJpegStrip(const TTIFFJpegStrip& strip, TVlBitmap& page, ProgressRecord& progress) {
  const TVlPixelFormat f = page.PixelFormat();
  if (f != vl24RGB && f != vl8g && f != vlCMYK)
    return TVlStatus::Unsupported("JPEG strips need a vl24RGB, vl8g or vlCMYK page");
  if (strip.width < 1 || strip.rows < 1 || !strip.data)
    return TVlStatus::BadData("JPEG strip without pixels");
  TVlMemoryStream data(strip.data, std::int64_t(strip.size));
  TVlMemoryStream tables(strip.tables, std::int64_t(strip.tables ? strip.tablesSize : 0));
  TJpegReadOptions o;
  o.tables = strip.tables && strip.tablesSize > 0 ? &tables : nullptr;
  o.rgbData = strip.rgbData;
  o.format = f;
  o.frameWidth = strip.width;
  o.frameMaxRows = strip.rows;
  o.frameMinRows = std::clamp(page.Height() - strip.y, 1, strip.rows);
  TVlBitmap scratch;
  const TVlStatus s = ReadJPEG(data, &scratch, nullptr, progress, o);
  if (!scratch.IsEmpty())
    CopyInto(scratch, page, strip.x, strip.y);
  return s;
}

TVlStatus ReadOldStyleJPEG(TVlStream& stream, const TTIFFOldJpeg& info, TVlBitmap& page, ProgressRecord& progress) {
  VL_TRY(CheckImageSize(info.width, info.height, 24));
  VL_TRY(page.AllocateImage(info.width, info.height, vl24RGB));
  page.FillImage(double(clWhite));
  const std::int32_t rps = info.rowsPerStrip > 0 && info.rowsPerStrip < info.height ? info.rowsPerStrip : info.height;
  TJpegReadOptions o;
  o.format = vl24RGB;

  if (!info.stripByteCounts.empty() && info.stripByteCounts.size() == info.stripOffsets.size()) {
    const std::vector<std::uint8_t> header =
        info.interchangeFormatLength > 0
            ? ReadClamped(stream, info.base + info.interchangeFormat, info.interchangeFormatLength)
            : std::vector<std::uint8_t>{};
    std::vector<std::uint8_t> scanHeader;
    const std::size_t strips = info.stripOffsets.size();
    ProgressRecord quiet;  // the strip loop reports progress itself
    quiet.abortFlag = progress.abortFlag;
    for (std::size_t r = 0; r < strips; ++r) {
      const std::int64_t firstRow = std::int64_t(r) * rps;
      if (firstRow >= info.height)
        break;
      if (progress.Aborted())
        return TVlStatus::Aborted();
      const std::vector<std::uint8_t> data =
          ReadClamped(stream, info.base + info.stripOffsets[r], info.stripByteCounts[r]);
      if (r == 0)
        scanHeader = FirstSegment(data);
      std::vector<std::uint8_t> jpeg = header;
      if (r > 0 && !data.empty() && data[0] != 0xFF)  // entropy-coded data only
        jpeg.insert(jpeg.end(), scanHeader.begin(), scanHeader.end());
      jpeg.insert(jpeg.end(), data.begin(), data.end());
      TVlMemoryStream ms(jpeg.data(), std::int64_t(jpeg.size()));
      o.maxRows = std::int32_t(std::min<std::int64_t>(rps, info.height - firstRow));
      TVlBitmap scratch;
      const TVlStatus s = ReadJPEG(ms, &scratch, nullptr, strips == 1 ? progress : quiet, o);
      if (!scratch.IsEmpty())
        CopyInto(scratch, page, 0, std::int32_t(firstRow));
      if (!s.ok())
        return s;
      progress.Report(int(std::int64_t(r) * 100 / std::int64_t(strips)));
    }
    return TVlStatus::Ok();
  }

  const std::int64_t start =
      info.interchangeFormat != 0 || info.stripOffsets.empty() ? info.interchangeFormat : info.stripOffsets[0];
  if (!stream.Seek(info.base + start))
    return TVlStatus::Truncated("old-style JPEG data past the end of the stream");
  const std::int64_t length = JPEGLength(stream);
  if (length <= 0 || info.base + start + length > stream.Size())
    return TVlStatus::Truncated("old-style JPEG data past the end of the stream");
  const std::vector<std::uint8_t> jpeg = ReadClamped(stream, info.base + start, length);
  TVlMemoryStream ms(jpeg.data(), std::int64_t(jpeg.size()));
  TVlBitmap scratch;
  const TVlStatus s = ReadJPEG(ms, &scratch, nullptr, progress, o);
  if (!scratch.IsEmpty())
    CopyInto(scratch, page, 0, 0);
  return s;
}

TJpegWriteOptions TiffJpegWriteOptions(const TIOParamsVals& params) {
  TJpegWriteOptions o;
  o.quality = params.tiffJpegQuality;
  o.colorSpace = params.tiffJpegColorSpace <= 3 ? params.tiffJpegColorSpace : 0;
  o.dctMethod = params.jpegDctMethod;
  o.optimalHuffman = params.jpegOptimalHuffman;
  o.dpiX = params.dpiX;
  o.dpiY = params.dpiY;
  return o;
}

TVlStatus WriteTIFFJpegStrip(TVlStream& stream, TVlBitmap& page, const TIOParamsVals& params, ProgressRecord& progress,
                             TTIFFJpegWritten& written) {
  written = {};
  written.stripOffset = stream.Position();
  const TVlStatus s = WriteJPEGImage(stream, page, TiffJpegWriteOptions(params), progress);
  written.stripByteCount = stream.Position() - written.stripOffset;
  return s;
}

TVlStatus WriteTIFFOldStyleJpeg(TVlStream& stream, TVlBitmap& page, const TIOParamsVals& params,
                                ProgressRecord& progress, TTIFFJpegWritten& written) {
  written = {};
  TVlMemoryStream jpeg;
  VL_TRY(WriteJPEGImage(jpeg, page, TiffJpegWriteOptions(params), progress));
  const std::vector<std::uint8_t>& bytes = jpeg.Bytes();
  const std::int64_t at = stream.Position();
  if (!stream.WriteAll(bytes.data(), std::int64_t(bytes.size())))
    return TVlStatus::IoError("short write");
  const std::size_t sos = FirstScanOffset(bytes);
  written.interchangeFormat = at;
  written.interchangeFormatLength = std::int64_t(bytes.size());
  written.stripOffset = at + std::int64_t(sos);
  written.stripByteCount = std::int64_t(bytes.size() - sos);
  return TVlStatus::Ok();
}

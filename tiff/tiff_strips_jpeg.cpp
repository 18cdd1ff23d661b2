// JPEG inside TIFF (see tiff_strips_jpeg.h).
#include "tiff/tiff_strips_jpeg.h"

#include "imaging/params.h"
#include "tiff/tiff_strips.h"

TVlStatus JPEGFrameSize(const std::uint8_t* data, std::size_t length, std::int32_t& width, std::int32_t& height,
                        std::int32_t& components) {
  width = height = components = 0;
  std::size_t i = 0;
  while (i + 1 < length) {
    if (data[i] != 0xFF) {
      ++i;
      continue;
    }
    std::uint8_t m = data[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    i += 2;
    if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7) || m == 0x00)
      continue;
    if (m == 0xD9 || m == 0xDA)
      break;
    if (i + 2 > length)
      break;
    std::size_t segment = std::size_t(data[i] << 8 | data[i + 1]);
    if (segment < 2)
      break;
    bool sof = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    if (sof) {
      if (i + 8 > length)
        break;
      height = data[i + 3] << 8 | data[i + 4];
      width = data[i + 5] << 8 | data[i + 6];
      components = data[i + 7];
      return TVlStatus::Ok();
    }
    i += segment;
  }
  return TVlStatus::BadData("JPEG data without a frame header");
}

TVlStatus DecodeTIFFJPEGStrip(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t, std::int32_t,
                              std::int32_t, std::int32_t, std::int32_t, TVlBitmap&, TIOParamsVals*) {
  return TVlStatus::Unsupported("JPEG-compressed pages need the JPEG codec, which this build lacks");
}

TVlStatus ReadOldStyleJPEG(TTIFFVars&, TVlBitmap&, ProgressRecord& progress) {
  return progress.Fail(TVlStatus::Unsupported("old-style JPEG pages need the JPEG codec, which this build lacks"));
}

TVlStatus WriteTIFFJPEGPage(TVlStream&, TVlBitmap&, TTIFFEntryList&, ProgressRecord&, std::uint16_t, std::int32_t,
                            std::int32_t, TIOParamsVals&) {
  return TVlStatus::Unsupported("JPEG-compressed pages need the JPEG codec, which this build lacks");
}

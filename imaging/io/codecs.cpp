#include "imaging/io/codecs.h"

#include "imaging/formats/camera_raw.h"
#include "imaging/formats/jpeg.h"
#include "imaging/formats/jpeg2000.h"
#include "imaging/formats/metafile.h"
#include "imaging/formats/png.h"
#include "imaging/formats/pnm_writer.h"
#include "imaging/io/filetypes.h"
#include "pdf/pdf_images.h"

namespace {
TVlStatus Unsupported(ProgressRecord& pr) { return pr.Fail(TVlStatus::Unsupported("unsupported")); }

// Content detection ends with the camera-raw library's identification step.
const bool kRawIdentifierInstalled = (CameraRawIdentifier() = &IdentifyCameraRaw, true);
}  // namespace

void VlInstallCameraRawIdentifier() { (void)kRawIdentifierInstalled; CameraRawIdentifier() = &IdentifyCameraRaw; }

// ---------------------------------------------------------------------- TIFF and JPEG entry points

bool VlHaveTIFFCodec() { return false; }

TVlStatus VlReadTIFFPage(TVlStream&, TVlBitmap*, TIOParamsVals&, ProgressRecord& progress, bool,
                         std::unique_ptr<TVlMask>&, std::int32_t& pageCount) {
  pageCount = 0;
  return Unsupported(progress);
}

TVlStatus VlWriteTIFFPage(TVlStream&, bool, TVlBitmap&, TIOParamsVals&, ProgressRecord& progress) {
  return Unsupported(progress);
}

namespace {
constexpr bool kHaveJPEG = true;
}  // namespace

// ---------------------------------------------------------------------- dispatch

bool VlHasReader(std::int32_t type) {
  switch (type) {
    case vlftTIFF: return VlHaveTIFFCodec();
    case vlftJPEG: return kHaveJPEG;
    case vlftPNG:
    case vlftWMF:
    case vlftEMF:
    case vlftJP2:
    case vlftJ2K:
    case vlftRAW: return true;
    default: return false;
  }
}

bool VlHasWriter(std::int32_t type) {
  switch (type) {
    case vlftTIFF: return VlHaveTIFFCodec();
    case vlftJPEG: return kHaveJPEG;
    case vlftPNG:
    case vlftPNM:
    case vlftJP2:
    case vlftJ2K:
    case vlftPDF: return true;
    default: return false;
  }
}

TVlStatus VlReadByType(std::int32_t type, TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params,
                       ProgressRecord& progress, bool paramsOnly, std::unique_ptr<TVlMask>& alphaMask,
                       std::vector<std::uint8_t>* jpegPreview) {
  switch (type) {
    case vlftTIFF: {
      std::int32_t pages = 0;
      TVlStatus s = VlReadTIFFPage(stream, bitmap, params, progress, paramsOnly, alphaMask, pages);
      if (pages > 0)
        params.SetImageCount(pages);
      return s;
    }
    case vlftJPEG: {
      const TVlStatus s = ReadJPEG(stream, paramsOnly ? nullptr : bitmap, &params, progress);
      if (s)
        params.SetImageCount(1);
      return s;
    }
    case vlftPNG: return ReadPNG(stream, bitmap, params, progress, paramsOnly);
    case vlftJP2: return ReadJ2K(stream, bitmap, params, progress, paramsOnly, false);
    case vlftJ2K: return ReadJ2K(stream, bitmap, params, progress, paramsOnly, true);
    case vlftRAW: return ReadCameraRaw(stream, bitmap, params, progress, paramsOnly, jpegPreview);
    case vlftWMF:
    case vlftEMF: {
      std::vector<std::uint8_t> data;
      if (!ReadRemaining(stream, data))
        return progress.Fail(TVlStatus::Truncated("metafile cannot be read"));
      TVlMetafile m;
      if (TVlStatus s = VlOpenMetafile(std::move(data), m); !s)
        return progress.Fail(s);
      params.width = static_cast<std::int32_t>(std::min<std::int64_t>(m.width, INT32_MAX));
      params.height = static_cast<std::int32_t>(std::min<std::int64_t>(m.height, INT32_MAX));
      params.bitsPerSample = 8;
      params.samplesPerPixel = 3;
      params.SetImageCount(1);
      if (paramsOnly)
        return TVlStatus::Ok();
      if (m.width > 16000 || m.height > 16000)
        return progress.Fail(TVlStatus::LimitExceeded("metafile larger than 16,000 pixels"));
      TVlStatus s = VlRenderMetafile(m, params.width, params.height, clWhite, false, *bitmap);
      return s ? s : progress.Fail(s);
    }
    default: return Unsupported(progress);
  }
}

TVlStatus VlWriteByType(std::int32_t type, TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params,
                        ProgressRecord& progress, const TVlMask* alphaMask) {
  switch (type) {
    case vlftTIFF: return VlWriteTIFFPage(stream, false, bitmap, params, progress);
    case vlftJPEG: return WriteJPEG(stream, bitmap, params, progress);
    case vlftPNG: return WritePNG(stream, bitmap, params, progress, alphaMask);
    case vlftPNM: return WritePNM(stream, bitmap, params, progress);
    case vlftJP2: return WriteJ2K(stream, bitmap, params, progress, false);
    case vlftJ2K: return WriteJ2K(stream, bitmap, params, progress, true);
    case vlftPDF: {
      TVlStatus s = SaveImageAsPDF(stream, bitmap, params, progress);
      return s ? s : progress.Fail(s);
    }
    default: return Unsupported(progress);
  }
}

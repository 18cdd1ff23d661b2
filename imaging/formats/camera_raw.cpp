#include "imaging/formats/camera_raw.h"

#include <libraw/libraw.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>

#include "imaging/limits.h"

namespace {

struct ImageDeleter {
  void operator()(libraw_processed_image_t* p) const { LibRaw::dcraw_clear_mem(p); }
};
using ProcessedPtr = std::unique_ptr<libraw_processed_image_t, ImageDeleter>;

// Reads the rest of the stream, restoring the position.
bool ReadAll(TVlStream& s, std::vector<std::uint8_t>& out) {
  TVlStreamRestore keep(s);
  return ReadRemaining(s, out) && !out.empty();
}

int OnProgress(void* data, enum LibRaw_progress, int, int) {
  auto* p = static_cast<ProgressRecord*>(data);
  return p && p->Aborted() ? 1 : 0;  // non-zero cancels
}

void ApplyExtraParams(const std::string& text, libraw_output_params_t& o) {
  std::istringstream in(text);
  std::string t;
  auto num = [&](double& v) {
    std::string n;
    if (!(in >> n))
      return false;
    char* end = nullptr;
    v = std::strtod(n.c_str(), &end);
    return end && *end == 0;
  };
  double a = 0, b = 0;
  while (in >> t) {
    if (t == "-h")
      o.half_size = 1;
    else if (t == "-a")
      o.use_auto_wb = 1;
    else if (t == "-w")
      o.use_camera_wb = 1;
    else if (t == "-f")
      o.four_color_rgb = 1;
    else if (t == "-W")
      o.no_auto_bright = 1;
    else if (t == "-4" || t == "-6")
      o.output_bps = 16;
    else if (t == "-q" && num(a))
      o.user_qual = static_cast<int>(a);
    else if (t == "-b" && num(a) && a > 0 && a < 100)
      o.bright = static_cast<float>(a);
    else if (t == "-g" && num(a) && num(b) && a > 0)
      o.gamm[0] = 1.0 / a, o.gamm[1] = b;
    else if (t == "-H" && num(a) && a >= 0 && a <= 9)
      o.highlight = static_cast<int>(a);
    else if (t == "-n" && num(a) && a >= 0)
      o.threshold = static_cast<float>(a);
    else if (t == "-t" && num(a))
      o.user_flip = static_cast<int>(a);
    else if (t == "-o" && num(a) && a >= 0 && a <= 6)
      o.output_color = static_cast<int>(a);
    else if (t == "-m" && num(a) && a >= 0 && a <= 10)
      o.med_passes = static_cast<int>(a);
  }
}

void FillParams(LibRaw& raw, TIOParamsVals& p) {
  const libraw_data_t& d = raw.imgdata;
  std::int32_t w = d.sizes.width, h = d.sizes.height;
  if (d.params.half_size)
    w = (w + 1) / 2, h = (h + 1) / 2;
  if (d.sizes.flip & 4)
    std::swap(w, h);
  p.width = w;
  p.height = h;
  p.bitsPerSample = 8;
  p.samplesPerPixel = 3;
  p.SetImageCount(1);
  p.SetDpiX(0);
  p.SetDpiY(0);
  p.hasExif = true;
  p.exifMake.assign(d.idata.make, strnlen(d.idata.make, sizeof d.idata.make));
  p.exifModel.assign(d.idata.model, strnlen(d.idata.model, sizeof d.idata.model));
  p.exifArtist.assign(d.other.artist, strnlen(d.other.artist, sizeof d.other.artist));
  p.exifImageDescription.assign(d.other.desc, strnlen(d.other.desc, sizeof d.other.desc));
  p.exifISOSpeedRatings[0] = static_cast<std::int32_t>(d.other.iso_speed);
  p.exifExposureTime = d.other.shutter;
  p.exifFNumber = d.other.aperture;
  p.exifFocalLength = d.other.focal_len;
  if (d.other.timestamp > 0) {
    std::tm tm{};
    const std::time_t t = d.other.timestamp;
    if (gmtime_r(&t, &tm)) {
      char buf[80];
      std::snprintf(buf, sizeof buf, "%04d:%02d:%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                    tm.tm_hour, tm.tm_min, tm.tm_sec);
      p.exifDateTimeOriginal = buf;
    }
  }
}

// Copies a developed (or bitmap preview) image into the target.
TVlStatus StoreProcessed(const libraw_processed_image_t& img, TVlBitmap& b, bool native, ProgressRecord& progress) {
  if (img.type != LIBRAW_IMAGE_BITMAP || (img.colors != 1 && img.colors != 3) || (img.bits != 8 && img.bits != 16))
    return TVlStatus::Unsupported("camera raw output layout not handled");
  const std::int32_t w = img.width, h = img.height;
  const std::int64_t bytesPer = img.colors * (img.bits / 8);
  auto need = CheckedMul(std::int64_t(w) * h, bytesPer);
  if (!need || *need > img.data_size)
    return TVlStatus::BadData("camera raw output shorter than its size");
  const bool deep = native && img.bits == 16;
  const TVlPixelFormat fmt = deep ? vlRGB48 : vl24RGB;
  VL_TRY(CheckImageSize(w, h, VlBitsPerPixel(fmt)));
  VL_TRY(b.AllocateImage(w, h, fmt));
  if (b.IsEmpty())
    return TVlStatus::LimitExceeded("cannot allocate the image");
  progress.percentPerRow = 100.0 / h;
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint8_t* s = img.data + std::size_t(y) * std::size_t(w) * std::size_t(bytesPer);
    std::uint8_t* d = b.RowPointer(y);
    for (std::int32_t x = 0; x < w; ++x) {
      std::uint16_t c[3];
      for (int k = 0; k < 3; ++k) {
        const int ch = img.colors == 1 ? 0 : k;
        if (img.bits == 8) {
          c[k] = s[x * img.colors + ch];
        } else {
          std::uint16_t v;
          std::memcpy(&v, s + (std::size_t(x) * img.colors + ch) * 2, 2);  // host order
          c[k] = v;
        }
      }
      if (deep) {
        for (int k = 0; k < 3; ++k)
          d[x * 6 + k * 2] = static_cast<std::uint8_t>(c[k]), d[x * 6 + k * 2 + 1] = static_cast<std::uint8_t>(c[k] >> 8);
      } else {
        const int shift = img.bits == 16 ? 8 : 0;
        d[x * 3] = static_cast<std::uint8_t>(c[2] >> shift);
        d[x * 3 + 1] = static_cast<std::uint8_t>(c[1] >> shift);
        d[x * 3 + 2] = static_cast<std::uint8_t>(c[0] >> shift);
      }
    }
    progress.ReportRow(y);
  }
  return TVlStatus::Ok();
}

TVlStatus Develop(LibRaw& raw, std::vector<std::uint8_t>& data, TVlBitmap* bitmap, TIOParamsVals& params,
                  ProgressRecord& progress, bool paramsOnly, std::vector<std::uint8_t>* jpegPreview) {
  libraw_output_params_t& o = raw.imgdata.params;
  o.half_size = params.rawHalfSize ? 1 : 0;
  o.gamm[0] = params.rawGamma > 0 ? params.rawGamma : 0.6;
  o.gamm[1] = 0;
  o.bright = params.rawBright > 0 ? static_cast<float>(params.rawBright) : 1.0f;
  if (params.rawRedScale != 1.0 || params.rawBlueScale != 1.0) {
    o.user_mul[0] = static_cast<float>(params.rawRedScale);
    o.user_mul[1] = 1.0f;
    o.user_mul[2] = static_cast<float>(params.rawBlueScale);
    o.user_mul[3] = 1.0f;
  }
  o.user_qual = params.rawQuickInterpolate ? 0 : -1;
  o.use_auto_wb = params.rawUseAutoWB ? 1 : 0;
  o.use_camera_wb = params.rawUseCameraWB ? 1 : 0;
  o.four_color_rgb = params.rawFourColorRGB ? 1 : 0;
  o.output_bps = 8;
  ApplyExtraParams(params.rawExtraParams, o);
  if (o.output_bps == 16 && !params.nativePixelFormat)
    o.output_bps = 8;

  if (raw.open_buffer(data.data(), data.size()) != LIBRAW_SUCCESS)
    return TVlStatus::BadData("not a camera raw file");
  FillParams(raw, params);
  if (o.output_bps == 16)
    params.bitsPerSample = 16;
  if (paramsOnly)
    return TVlStatus::Ok();

  if (params.rawGetExifThumbnail && raw.unpack_thumb() == LIBRAW_SUCCESS) {
    const libraw_thumbnail_t& t = raw.imgdata.thumbnail;
    if (t.tformat == LIBRAW_THUMBNAIL_JPEG && jpegPreview && t.thumb && t.tlength > 0) {
      jpegPreview->assign(reinterpret_cast<const std::uint8_t*>(t.thumb),
                          reinterpret_cast<const std::uint8_t*>(t.thumb) + t.tlength);
      params.rawGetExifThumbnail = false;
      return TVlStatus::Ok();
    }
    if (t.tformat == LIBRAW_THUMBNAIL_BITMAP) {
      int err = 0;
      ProcessedPtr img(raw.dcraw_make_mem_thumb(&err));
      if (img && StoreProcessed(*img, *bitmap, false, progress).ok()) {
        params.rawGetExifThumbnail = false;
        params.width = bitmap->Width();
        params.height = bitmap->Height();
        return TVlStatus::Ok();
      }
    }
  }

  const libraw_image_sizes_t& sz = raw.imgdata.sizes;
  VL_TRY(CheckImageSize(sz.raw_width, sz.raw_height, 64));
  auto rawPixels = CheckedMul(sz.raw_width, sz.raw_height);
  if (!rawPixels || *rawPixels > static_cast<std::int64_t>(data.size()) * 16 + (std::int64_t(1) << 20))
    return TVlStatus::LimitExceeded("camera raw image larger than its data can hold");
  auto work = CheckedMul(std::int64_t(sz.iwidth) * sz.iheight, 8);
  if (!work)
    return TVlStatus::LimitExceeded("camera raw image too large");
  VL_TRY(CheckBufferSize(*work));

  raw.set_progress_handler(OnProgress, &progress);
  progress.Report(0);
  if (raw.unpack() != LIBRAW_SUCCESS)
    return TVlStatus::BadData("camera raw data cannot be unpacked");
  if (progress.Aborted())
    return TVlStatus::Aborted();
  if (raw.dcraw_process() != LIBRAW_SUCCESS)
    return progress.Aborted() ? TVlStatus::Aborted() : TVlStatus::BadData("camera raw data cannot be developed");
  int err = 0;
  ProcessedPtr img(raw.dcraw_make_mem_image(&err));
  if (!img)
    return TVlStatus::LimitExceeded("camera raw output cannot be made");
  VL_TRY(StoreProcessed(*img, *bitmap, params.nativePixelFormat, progress));
  params.width = bitmap->Width();
  params.height = bitmap->Height();
  return TVlStatus::Ok();
}

}  // namespace

bool IdentifyCameraRaw(TVlStream& stream) {
  std::vector<std::uint8_t> data;
  if (!ReadAll(stream, data))
    return false;
  try {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    return raw->open_buffer(data.data(), data.size()) == LIBRAW_SUCCESS;
  } catch (...) {
    return false;
  }
}

TVlStatus ReadCameraRaw(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                        bool paramsOnly, std::vector<std::uint8_t>* jpegPreview) {
  if (!paramsOnly && !bitmap)
    return progress.Fail(TVlStatus::BadData("no target image"));
  std::vector<std::uint8_t> data;
  if (!ReadAll(stream, data))
    return progress.Fail(TVlStatus::Truncated("camera raw file is empty"));
  TVlStatus s;
  try {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    s = Develop(*raw, data, bitmap, params, progress, paramsOnly, jpegPreview);
  } catch (const std::bad_alloc&) {
    s = TVlStatus::LimitExceeded("out of memory for the camera raw image");
  } catch (...) {
    s = TVlStatus::BadData("camera raw decoder failed");
  }
  if (!s)
    return progress.Fail(s);
  stream.Seek(stream.Size());
  return s;
}

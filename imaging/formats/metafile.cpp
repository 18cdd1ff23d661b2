#include "imaging/formats/metafile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "imaging/limits.h"

// The libraries' headers come last: they define short macros.
#include <cairo.h>
#include <emf2svg.h>
#include <librsvg/rsvg.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

namespace {

constexpr std::int64_t kPixelsPerInch = 96;
constexpr std::int32_t kMaxSide = 16000;

// libwmf keeps process-wide font state; one translation at a time.
std::mutex& WmfLock() {
  static std::mutex m;
  return m;
}

// libwmf's SVG driver draws every brush half transparent and keeps pens of less than one
// device pixel, which the metafile itself would draw one pixel wide: undo both.
void FixWmfSvg(std::string& svg) {
  for (std::size_t at = 0; (at = svg.find("fill-opacity:0.5", at)) != std::string::npos;)
    svg.replace(at, 16, "fill-opacity:1");
  for (std::size_t at = 0; (at = svg.find("stroke-width:", at)) != std::string::npos;) {
    at += 13;
    const std::size_t end = svg.find_first_of(";\"", at);
    if (end == std::string::npos)
      break;
    const double w = std::strtod(svg.substr(at, end - at).c_str(), nullptr);
    if (w < 1.0)
      svg.replace(at, end - at, "1");
  }
}

// Translates a WMF to SVG; also reports libwmf's idea of the picture size at 96 dpi.
TVlStatus WmfToSvg(const std::vector<std::uint8_t>& data, std::string& svg, unsigned& width, unsigned& height) {
  std::lock_guard<std::mutex> l(WmfLock());
  wmfAPI_Options opts;
  std::memset(&opts, 0, sizeof opts);
  opts.function = wmf_svg_function;
  const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
  wmfAPI* api = nullptr;
  if (wmf_api_create(&api, flags, &opts) != wmf_E_None) {
    if (api)
      wmf_api_destroy(api);
    return TVlStatus::LimitExceeded("cannot set up the WMF library");
  }
  std::vector<unsigned char> copy(data.begin(), data.end());
  TVlStatus result = TVlStatus::BadData("WMF data cannot be read");
  wmfD_Rect bbox;
  std::memset(&bbox, 0, sizeof bbox);
  wmf_svg_t* dd = WMF_SVG_GetData(api);
  if (wmf_mem_open(api, copy.data(), static_cast<long>(copy.size())) == wmf_E_None) {
    if (wmf_scan(api, 0, &bbox) == wmf_E_None && wmf_display_size(api, &width, &height, 96, 96) == wmf_E_None &&
        width > 0 && height > 0) {
      dd->out = wmf_stream_create(api, nullptr);
      dd->Description = const_cast<char*>("Vellumo");
      dd->bbox = bbox;
      dd->width = width;
      dd->height = height;
      const wmf_error_t played = wmf_play(api, 0, &bbox);
      char* buf = nullptr;
      unsigned long len = 0;
      if (dd->out)
        wmf_stream_destroy(api, dd->out, &buf, &len);
      dd->out = nullptr;
      if (played == wmf_E_None && buf && len > 0) {
        svg.assign(buf, len);
        FixWmfSvg(svg);
        result = TVlStatus::Ok();
      }
    }
    wmf_mem_close(api);
  }
  wmf_api_destroy(api);
  return result;
}

TVlStatus EmfToSvg(const std::vector<std::uint8_t>& data, std::int32_t width, std::int32_t height, std::string& svg) {
  generatorOptions opts;
  std::memset(&opts, 0, sizeof opts);
  opts.nameSpace = const_cast<char*>("svg");
  opts.verbose = false;
  opts.emfplus = true;
  opts.svgDelimiter = true;
  opts.imgWidth = width;
  opts.imgHeight = height;
  std::vector<char> copy(data.begin(), data.end());
  char* out = nullptr;
  size_t len = 0;
  const int ok = emf2svg(copy.data(), copy.size(), &out, &len, &opts);
  if (!ok || !out || len == 0) {
    std::free(out);
    return TVlStatus::BadData("EMF data cannot be read");
  }
  svg.assign(out, len);
  std::free(out);
  return TVlStatus::Ok();
}

}  // namespace

TVlStatus VlOpenMetafile(std::vector<std::uint8_t> data, TVlMetafile& out) {
  out = TVlMetafile{};
  const std::size_t n = data.size();
  auto u16 = [&](std::size_t at) -> std::int64_t { return at + 2 <= n ? data[at] | data[at + 1] << 8 : -1; };
  auto s16 = [&](std::size_t at) -> std::int64_t { return static_cast<std::int16_t>(u16(at)); };
  auto s32 = [&](std::size_t at) -> std::int64_t {
    return at + 4 <= n ? static_cast<std::int32_t>(std::uint32_t(data[at]) | data[at + 1] << 8 | data[at + 2] << 16 |
                                                   std::uint32_t(data[at + 3]) << 24)
                       : 0;
  };
  if (n < 18)
    return TVlStatus::Truncated("metafile too short");
  const std::uint32_t first = static_cast<std::uint32_t>(s32(0));
  if (first == 0x9AC6CDD7) {  // placeable WMF: key, handle, bbox, units per inch
    const std::int64_t left = s16(6), top = s16(8), right = s16(10), bottom = s16(12);
    const std::int64_t inch = u16(14);
    const std::int64_t type = u16(22), headerSize = u16(24);
    if ((type != 1 && type != 2) || headerSize != 9)
      return TVlStatus::BadData("not a Windows metafile");
    if (inch <= 0)
      return TVlStatus::BadData("metafile has no units per inch");
    out.width = std::abs(right - left) * kPixelsPerInch / inch;
    out.height = std::abs(bottom - top) * kPixelsPerInch / inch;
    out.kind = 9;
  } else if (first == 1 && data.size() >= 88 && std::memcmp(data.data() + 40, " EMF", 4) == 0) {
    const std::int64_t bl = s32(8), bt = s32(12), br = s32(16), bb = s32(20);
    const std::int64_t fl = s32(24), ft = s32(28), fr = s32(32), fb = s32(36);
    // The frame is in 0.01 mm; fall back to the device bounds when it is empty.
    out.width = (fr - fl) * kPixelsPerInch / 2540;
    out.height = (fb - ft) * kPixelsPerInch / 2540;
    if (out.width <= 0 || out.height <= 0) {
      out.width = br - bl + 1;
      out.height = bb - bt + 1;
    }
    out.kind = 10;
  } else {
    const std::int64_t type = u16(0), headerSize = u16(2);
    if ((type != 1 && type != 2) || headerSize != 9)
      return TVlStatus::BadData("not a Windows metafile");
    std::string svg;
    unsigned w = 0, h = 0;
    VL_TRY(WmfToSvg(data, svg, w, h));
    out.width = w;
    out.height = h;
    out.kind = 9;
  }
  if (out.width <= 0 || out.height <= 0)
    return TVlStatus::BadData("metafile size is zero");
  out.data = std::move(data);
  return TVlStatus::Ok();
}

bool VlMetafileRenderSize(std::int64_t mw, std::int64_t mh, std::int32_t width, std::int32_t height,
                          std::int64_t& w, std::int64_t& h) {
  if (width >= 0 && height >= 0) {
    w = width, h = height;
  } else if (width < 0 && height >= 0) {
    if (mh <= 0)
      return false;
    h = height, w = std::int64_t(height) * mw / mh;
  } else if (height < 0 && width >= 0) {
    if (mw <= 0)
      return false;
    w = width, h = mh * width / mw;
  } else {
    w = mw, h = mh;
  }
  if (w <= 0 || h <= 0)
    return false;
  if (w > kMaxSide || h > kMaxSide) {
    if (w >= h)
      h = std::max<std::int64_t>(1, h * kMaxSide / w), w = kMaxSide;
    else
      w = std::max<std::int64_t>(1, w * kMaxSide / h), h = kMaxSide;
  }
  return true;
}

TVlStatus VlRenderMetafile(const TVlMetafile& m, std::int32_t width, std::int32_t height, TVlColor background,
                           bool transparency, TVlBitmap& target) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide)
    return TVlStatus::BadData("metafile render size out of range");
  VL_TRY(CheckImageSize(width, height, 32));
  std::string svg;
  if (m.kind == 10) {
    VL_TRY(EmfToSvg(m.data, width, height, svg));
  } else {
    unsigned w = 0, h = 0;
    VL_TRY(WmfToSvg(m.data, svg, w, h));
  }
  GError* err = nullptr;
  RsvgHandle* handle =
      rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg.data()), static_cast<gsize>(svg.size()), &err);
  if (err)
    g_error_free(err), err = nullptr;
  if (!handle)
    return TVlStatus::BadData("metafile picture cannot be drawn");
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return TVlStatus::LimitExceeded("cannot allocate the metafile picture");
  }
  cairo_t* cr = cairo_create(surface);
  gdouble iw = 0, ih = 0;
  RsvgRectangle viewport{0, 0, double(width), double(height)};
  if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &iw, &ih) && iw > 0 && ih > 0) {
    cairo_scale(cr, width / iw, height / ih);  // the picture is stretched to the requested size
    viewport = RsvgRectangle{0, 0, iw, ih};
  }
  const gboolean drawn = rsvg_handle_render_document(handle, cr, &viewport, &err);
  if (err)
    g_error_free(err);
  cairo_destroy(cr);
  g_object_unref(handle);
  if (!drawn) {
    cairo_surface_destroy(surface);
    return TVlStatus::BadData("metafile picture cannot be drawn");
  }
  cairo_surface_flush(surface);
  TVlStatus s = target.AllocateImage(width, height, vl24RGB);
  if (s && target.IsEmpty())
    s = TVlStatus::LimitExceeded("cannot allocate the image");
  if (s && transparency && !target.AlphaChannel())
    s = TVlStatus::LimitExceeded("cannot allocate the alpha plane");
  if (!s) {
    cairo_surface_destroy(surface);
    return s;
  }
  if (!transparency)
    target.FreeAlpha();
  const TVlRGB bg = VlColorToRGB(background);
  const unsigned char* base = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (std::int32_t y = 0; y < height; ++y) {
    const auto* px = reinterpret_cast<const std::uint32_t*>(base + std::size_t(y) * stride);
    std::uint8_t* row = target.RowPointer(y);
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint32_t p = px[x];  // premultiplied ARGB in native order
      const unsigned a = p >> 24, r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
      row[x * 3] = static_cast<std::uint8_t>(b + bg.b * (255 - a) / 255);
      row[x * 3 + 1] = static_cast<std::uint8_t>(g + bg.g * (255 - a) / 255);
      row[x * 3 + 2] = static_cast<std::uint8_t>(r + bg.r * (255 - a) / 255);
    }
    if (transparency) {
      std::uint8_t* ar = target.AlphaChannel()->RowPointer(y);
      for (std::int32_t x = 0; x < width; ++x)
        ar[x] = (px[x] >> 24) ? 255 : 0;
    }
  }
  cairo_surface_destroy(surface);
  if (transparency)
    target.RecheckAlphaFull();
  return TVlStatus::Ok();
}

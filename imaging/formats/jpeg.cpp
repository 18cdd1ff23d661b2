// JPEG reader and writer over libjpeg; see jpeg.h.
//
// Every libjpeg call that can fail runs in a small Safe…() function with its own setjmp and
// only plain locals, so that the error manager's longjmp never skips a C++ destructor; the
// objects with destructors (buffers, the libjpeg object's owner) live in the callers.
#include "imaging/formats/jpeg.h"

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "imaging/geometry.h"
#include "imaging/limits.h"
#include "imaging/stream.h"

namespace {

constexpr std::size_t kIoBlock = 65536;
constexpr int kMaxScans = 1000;
constexpr std::int64_t kPixelsWithoutDataCheck = std::int64_t(64) << 20;
constexpr std::int64_t kMaxPixelsPerByte = 2048;
constexpr std::size_t kMaxMarkerData = 65533;

const char kExifId[] = "Exif\0";                       // then one more 0 byte: 6 bytes in all
const char kXmpId[] = "http://ns.adobe.com/xap/1.0/";  // then a 0 byte: 29 bytes in all
const char kPhotoshopId[] = "Photoshop 3.0";           // then a 0 byte: 14 bytes in all
constexpr std::size_t kExifIdLength = 6;
constexpr std::size_t kXmpIdLength = 29;
constexpr std::size_t kPhotoshopIdLength = 14;
const char kIccId[] = "ICC_PROFILE";  // then a 0 byte: 12 bytes in all
constexpr std::size_t kIccIdLength = 12;

bool StartsWith(const std::vector<std::uint8_t>& data, const char* id, std::size_t n) {
  return data.size() >= n && std::memcmp(data.data(), id, n) == 0;
}
bool IsExifMarker(const TVlJpegMarker& m) {
  return m.marker == 0xE1 && StartsWith(m.data, kExifId, kExifIdLength);
}
bool IsXmpMarker(const TVlJpegMarker& m) {
  return m.marker == 0xE1 && StartsWith(m.data, kXmpId, kXmpIdLength);
}
bool IsPhotoshopMarker(const TVlJpegMarker& m) {
  return m.marker == 0xED && StartsWith(m.data, kPhotoshopId, kPhotoshopIdLength);
}

// ---- error manager ----

struct TJpegError {
  jpeg_error_mgr pub;  // first: libjpeg sees only this
  std::jmp_buf jump;
  const char* reason = nullptr;  // our own failure reason; libjpeg's message otherwise
  TVlStatusCode code = TVlStatusCode::badData;
};

TJpegError& ErrorOf(j_common_ptr c) {
  return *reinterpret_cast<TJpegError*>(c->err);
}

void ErrorExit(j_common_ptr c) {
  std::longjmp(ErrorOf(c).jump, 1);
}
void OutputMessage(j_common_ptr) {}
void EmitMessage(j_common_ptr c, int level) {
  if (level < 0)
    ++c->err->num_warnings;  // warnings never stop decoding
}

// Raises an error of our own from inside a libjpeg callback.
[[noreturn]] void Fail(j_common_ptr c, TVlStatusCode code, const char* reason) {
  ErrorOf(c).reason = reason;
  ErrorOf(c).code = code;
  std::longjmp(ErrorOf(c).jump, 1);
}

void InitError(TJpegError& e) {
  jpeg_std_error(&e.pub);
  e.pub.error_exit = ErrorExit;
  e.pub.output_message = OutputMessage;
  e.pub.emit_message = EmitMessage;
}

TVlStatus StatusOf(const TJpegError& e) {
  if (e.reason)
    return TVlStatus{e.code, e.reason};
  const int code = e.pub.msg_code;
  if (code > 0 && code <= e.pub.last_jpeg_message && e.pub.jpeg_message_table[code])
    return TVlStatus::BadData(e.pub.jpeg_message_table[code]);
  return TVlStatus::BadData("JPEG data error");
}

// ---- source manager over a TVlStream ----

struct TJpegSource {
  jpeg_source_mgr pub;
  TVlStream* stream = nullptr;
  JOCTET* buffer = nullptr;
  bool startOfFile = true;
};

TJpegSource& SourceOf(j_decompress_ptr c) {
  return *reinterpret_cast<TJpegSource*>(c->src);
}

void InitSource(j_decompress_ptr c) {
  SourceOf(c).startOfFile = true;
}

boolean FillInput(j_decompress_ptr c) {
  TJpegSource& s = SourceOf(c);
  std::int64_t n = s.stream->Read(s.buffer, std::int64_t(kIoBlock));
  if (n <= 0) {
    if (s.startOfFile)
      Fail(reinterpret_cast<j_common_ptr>(c), TVlStatusCode::truncated, "JPEG stream is empty");
    // Premature end: a warning, and an end-of-image marker so that decoding finishes.
    WARNMS(c, JWRN_JPEG_EOF);
    s.buffer[0] = 0xFF;
    s.buffer[1] = JPEG_EOI;
    n = 2;
  }
  s.pub.next_input_byte = s.buffer;
  s.pub.bytes_in_buffer = std::size_t(n);
  s.startOfFile = false;
  return TRUE;
}

void SkipInput(j_decompress_ptr c, long count) {
  TJpegSource& s = SourceOf(c);
  if (count <= 0)
    return;
  if (std::size_t(count) <= s.pub.bytes_in_buffer) {
    s.pub.next_input_byte += count;
    s.pub.bytes_in_buffer -= std::size_t(count);
    return;
  }
  const std::int64_t beyond = std::int64_t(count) - std::int64_t(s.pub.bytes_in_buffer);
  s.pub.bytes_in_buffer = 0;
  const std::int64_t target = std::min(s.stream->Size(), s.stream->Position() + beyond);
  s.stream->Seek(std::max(target, s.stream->Position()));
}

void TermSource(j_decompress_ptr) {}

// Stops progressive streams with an unreasonable number of scans.
void DecompressMonitor(j_common_ptr c) {
  auto* d = reinterpret_cast<j_decompress_ptr>(c);
  if (d->input_scan_number > kMaxScans)
    Fail(c, TVlStatusCode::limitExceeded, "JPEG stream has more than 1000 scans");
}

struct TJpegDecoder {
  jpeg_decompress_struct cinfo{};
  TJpegError err{};
  TJpegSource src{};
  jpeg_progress_mgr monitor{};
  std::unique_ptr<JOCTET[]> buffer{new JOCTET[kIoBlock]};
  bool created = false;
  TJpegDecoder() = default;
  TJpegDecoder(const TJpegDecoder&) = delete;
  TJpegDecoder& operator=(const TJpegDecoder&) = delete;
  ~TJpegDecoder() {
    if (created)
      jpeg_destroy_decompress(&cinfo);
  }
  void SetStream(TVlStream* s) {
    src.stream = s;
    src.pub.bytes_in_buffer = 0;
    src.pub.next_input_byte = buffer.get();
  }
};

bool SafeCreate(TJpegDecoder& d) {
  InitError(d.err);
  d.cinfo.err = &d.err.pub;
  if (setjmp(d.err.jump))
    return false;
  jpeg_create_decompress(&d.cinfo);
  d.created = true;
  d.cinfo.mem->max_memory_to_use = long(std::min<std::int64_t>(VlSizeLimits().maxBytes, LONG_MAX));
  d.src.pub.init_source = InitSource;
  d.src.pub.fill_input_buffer = FillInput;
  d.src.pub.skip_input_data = SkipInput;
  d.src.pub.resync_to_restart = jpeg_resync_to_restart;
  d.src.pub.term_source = TermSource;
  d.src.buffer = d.buffer.get();
  d.cinfo.src = &d.src.pub;
  d.monitor.progress_monitor = DecompressMonitor;
  d.cinfo.progress = &d.monitor;
  jpeg_save_markers(&d.cinfo, JPEG_COM, 0xFFFF);
  for (int m = 0; m < 16; ++m) jpeg_save_markers(&d.cinfo, JPEG_APP0 + m, 0xFFFF);
  return true;
}

int SafeReadHeader(TJpegDecoder& d, bool requireImage) {
  if (setjmp(d.err.jump))
    return -1;
  return jpeg_read_header(&d.cinfo, requireImage ? TRUE : FALSE);
}

bool SafeCalcOutput(TJpegDecoder& d) {
  if (setjmp(d.err.jump))
    return false;
  jpeg_calc_output_dimensions(&d.cinfo);
  return true;
}

bool SafeStart(TJpegDecoder& d) {
  if (setjmp(d.err.jump))
    return false;
  return jpeg_start_decompress(&d.cinfo) == TRUE;
}

bool SafeReadRow(TJpegDecoder& d, JSAMPROW row) {
  if (setjmp(d.err.jump))
    return false;
  JSAMPROW rows[1] = {row};
  return jpeg_read_scanlines(&d.cinfo, rows, 1) == 1;  // our source never suspends
}

bool SafeFinish(TJpegDecoder& d) {
  if (setjmp(d.err.jump))
    return false;
  jpeg_finish_decompress(&d.cinfo);
  return true;
}

// ---- metadata ----

// IPTC-NAA records (IIM: 0x1C, record, dataset, 16-bit length or an extended length).
void ParseIptc(const std::uint8_t* p, std::size_t n, TVlIPTCList& list) {
  std::size_t i = 0;
  while (i + 5 <= n && p[i] == 0x1C) {
    const std::uint8_t record = p[i + 1], dataset = p[i + 2];
    std::size_t len = std::size_t(p[i + 3]) << 8 | p[i + 4];
    i += 5;
    if (len & 0x8000) {
      const std::size_t bytes = len & 0x7FFF;
      if (bytes > 4 || i + bytes > n)
        return;
      len = 0;
      for (std::size_t k = 0; k < bytes; ++k) len = len << 8 | p[i + k];
      i += bytes;
    }
    if (len > n - i)
      return;
    list.records.push_back({record, dataset, std::vector<std::uint8_t>(p + i, p + i + len)});
    i += len;
  }
}

// One Photoshop image resource ("8BIM", id, Pascal name padded to even, size, data padded).
struct TPsResource {
  std::uint16_t id = 0;
  std::vector<std::uint8_t> name;  // the padded name field as stored
  std::vector<std::uint8_t> data;
};

// Resources of a Photoshop APP13 marker; stops quietly at the first malformed one.
std::vector<TPsResource> ParsePsResources(const std::vector<std::uint8_t>& d) {
  std::vector<TPsResource> out;
  std::size_t i = kPhotoshopIdLength;
  while (i + 12 <= d.size() && std::memcmp(d.data() + i, "8BIM", 4) == 0) {
    TPsResource r;
    r.id = std::uint16_t(d[i + 4] << 8 | d[i + 5]);
    i += 6;
    std::size_t nameField = std::size_t(d[i]) + 1;
    nameField += nameField & 1;
    if (i + nameField + 4 > d.size())
      break;
    r.name.assign(d.begin() + std::ptrdiff_t(i), d.begin() + std::ptrdiff_t(i + nameField));
    i += nameField;
    const std::size_t size =
        std::size_t(d[i]) << 24 | std::size_t(d[i + 1]) << 16 | std::size_t(d[i + 2]) << 8 | d[i + 3];
    i += 4;
    if (size > d.size() - i)
      break;
    r.data.assign(d.begin() + std::ptrdiff_t(i), d.begin() + std::ptrdiff_t(i + size));
    i += size + (size & 1);
    out.push_back(std::move(r));
  }
  return out;
}

void CaptureMarkers(TJpegDecoder& d, TIOParamsVals& params) {
  bool exifRead = false;
  for (jpeg_saved_marker_ptr m = d.cinfo.marker_list; m; m = m->next) {
    TVlJpegMarker mk;
    mk.marker = std::uint8_t(m->marker);
    mk.data.assign(m->data, m->data + m->data_length);
    if (mk.marker == JPEG_APP0 && StartsWith(mk.data, "JFIF", 5))
      continue;  // libjpeg writes its own JFIF header
    if (IsExifMarker(mk) && !exifRead) {
      exifRead = true;
      if (ExifBlockReadHook hook = DefaultExifBlockReader())
        (void)hook(mk.data.data() + kExifIdLength, mk.data.size() - kExifIdLength, params);
    } else if (IsXmpMarker(mk) && params.xmpPacket.empty()) {
      params.xmpPacket.assign(mk.data.begin() + kXmpIdLength, mk.data.end());
    } else if (IsPhotoshopMarker(mk)) {
      for (const TPsResource& r : ParsePsResources(mk.data))
        if (r.id == 0x0404)
          ParseIptc(r.data.data(), r.data.size(), params.iptcInfo);
    }
    params.jpegMarkers.push_back(std::move(mk));
  }
  // The ICC profile: APP2 chunks "ICC_PROFILE\0", sequence number (from 1), chunk count.
  // A repeated sequence number replaces the earlier chunk; a missing chunk drops the profile.
  std::vector<const jpeg_marker_struct*> chunks;
  int count = 0;
  for (jpeg_saved_marker_ptr m = d.cinfo.marker_list; m; m = m->next) {
    if (m->marker != JPEG_APP0 + 2 || m->data_length < kIccIdLength + 2 ||
        std::memcmp(m->data, kIccId, kIccIdLength) != 0)
      continue;
    const int seq = m->data[kIccIdLength], n = m->data[kIccIdLength + 1];
    if (n == 0 || seq == 0 || seq > n || (count != 0 && n != count))
      return;
    count = n;
    chunks.resize(std::size_t(n), nullptr);
    chunks[std::size_t(seq - 1)] = m;
  }
  if (count == 0 || std::find(chunks.begin(), chunks.end(), nullptr) != chunks.end())
    return;
  std::vector<std::uint8_t>& icc = params.inputProfile().data;
  icc.clear();
  for (const jpeg_marker_struct* m : chunks)
    icc.insert(icc.end(), m->data + kIccIdLength + 2, m->data + m->data_length);
}

std::uint8_t FileColorSpace(J_COLOR_SPACE s) {
  switch (s) {
    case JCS_GRAYSCALE:
      return 1;
    case JCS_RGB:
      return 0;
    case JCS_CMYK:
      return 3;
    case JCS_YCCK:
      return 4;
    default:
      return 2;
  }
}

inline void CmykToBgr(const std::uint8_t* p, std::uint8_t* out) {
  // p holds 255 minus the ink.
  out[0] = std::uint8_t(p[2] * p[3] / 255);
  out[1] = std::uint8_t(p[1] * p[3] / 255);
  out[2] = std::uint8_t(p[0] * p[3] / 255);
}

inline void BgrToCmyk(const std::uint8_t* p, std::uint8_t* out) {
  int m = std::max({p[0], p[1], p[2]});
  if (m == 0)
    m = 1;
  out[0] = std::uint8_t(p[2] * 255 / m);
  out[1] = std::uint8_t(p[1] * 255 / m);
  out[2] = std::uint8_t(p[0] * 255 / m);
  out[3] = std::uint8_t(m);
}

}  // namespace

ExifBlockReadHook& DefaultExifBlockReader() {
  static ExifBlockReadHook hook = nullptr;
  return hook;
}

ExifBlockWriteHook& DefaultExifBlockWriter() {
  static ExifBlockWriteHook hook = nullptr;
  return hook;
}

std::int32_t JpegScaleDenominator(std::uint8_t jpegScale, std::int32_t width, std::int32_t height,
                                  std::int32_t wantedWidth, std::int32_t wantedHeight) {
  switch (jpegScale) {
    case 0: {
      if (wantedWidth <= 0 || wantedHeight <= 0)
        return 1;
      for (std::int32_t d = 8; d >= 2; d /= 2) {
        const std::int64_t w = (std::int64_t(width) + d - 1) / d, h = (std::int64_t(height) + d - 1) / d;
        if (w >= wantedWidth && h >= wantedHeight)
          return d;
      }
      return 1;
    }
    case 2:
      return 2;
    case 3:
      return 4;
    case 4:
      return 8;
    default:
      return 1;
  }
}

TVlStatus ReadJPEG(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals* params, ProgressRecord& progress,
                   const TJpegReadOptions& options) {
  TJpegDecoder d;
  if (!SafeCreate(d))
    return TVlStatus::LimitExceeded("JPEG decoder could not be created");
  std::int64_t dataBytes = stream.Remaining();
  if (options.tables) {
    dataBytes += options.tables->Remaining();
    d.SetStream(options.tables);
    if (SafeReadHeader(d, false) < 0)
      return StatusOf(d.err);
  }
  d.SetStream(&stream);
  if (SafeReadHeader(d, true) != JPEG_HEADER_OK)
    return StatusOf(d.err);

  jpeg_decompress_struct& c = d.cinfo;
  const std::int32_t fullWidth = std::int32_t(c.image_width), fullHeight = std::int32_t(c.image_height);
  if (options.frameWidth > 0 &&
      (fullWidth != options.frameWidth || fullHeight < options.frameMinRows || fullHeight > options.frameMaxRows))
    return TVlStatus::BadData("JPEG frame size differs from its strip");
  if (options.rgbData && c.num_components == 3)
    c.jpeg_color_space = JCS_RGB;
  const J_COLOR_SPACE fileSpace = c.jpeg_color_space;
  const bool cmykFile = fileSpace == JCS_CMYK || fileSpace == JCS_YCCK;
  if (fileSpace == JCS_UNKNOWN || (c.num_components != 1 && c.num_components != 3 && c.num_components != 4))
    return TVlStatus::Unsupported("JPEG colour space not supported");

  // Scale and DCT method from the record.
  const std::int32_t denom =
      params ? JpegScaleDenominator(params->jpegScale, fullWidth, fullHeight, params->width, params->height) : 1;
  c.scale_num = 1;
  c.scale_denom = unsigned(denom);
  const std::uint8_t dct = params ? params->jpegDctMethod : 0;
  c.dct_method = dct == 1 ? JDCT_IFAST : dct == 2 ? JDCT_FLOAT : JDCT_ISLOW;

  TVlPixelFormat format = options.format;
  if (format == vlNone) {
    format = vl24RGB;
    if (params && params->nativePixelFormat)
      format = cmykFile ? vlCMYK : fileSpace == JCS_GRAYSCALE ? vl8g : vl24RGB;
  }
  if (format != vl24RGB && format != vl8g && format != vlCMYK)
    return TVlStatus::Unsupported("JPEG target pixel format not supported");
  // What libjpeg delivers; converted into `format` where the two differ.
  J_COLOR_SPACE outSpace = cmykFile ? JCS_CMYK : format == vl8g ? JCS_GRAYSCALE : JCS_EXT_BGR;
  c.out_color_space = outSpace;
  if (!SafeCalcOutput(d))
    return StatusOf(d.err);
  const std::int32_t width = std::int32_t(c.output_width);
  std::int32_t height = std::int32_t(c.output_height);
  if (options.maxRows > 0)
    height = std::min(height, options.maxRows);

  if (params) {
    params->bitsPerSample = 8;
    params->samplesPerPixel = c.num_components == 1 ? 1 : cmykFile ? 4 : 3;
    params->width = width;
    params->height = height;
    params->jpegColorSpace = FileColorSpace(fileSpace);
    params->jpegProgressive = c.progressive_mode == TRUE;
    params->jpegScaleUsed = denom;
    params->jpegOriginalWidth = fullWidth;
    params->jpegOriginalHeight = fullHeight;
    params->SetImageCount(1);
    std::int32_t dpiX = 300, dpiY = 300;
    if (c.saw_JFIF_marker && c.X_density > 0 && c.Y_density > 0) {
      if (c.density_unit == 1) {
        dpiX = c.X_density;
        dpiY = c.Y_density;
      } else if (c.density_unit == 2) {
        dpiX = std::int32_t(std::lround(c.X_density * 2.54));
        dpiY = std::int32_t(std::lround(c.Y_density * 2.54));
      }
    }
    params->SetDpiX(dpiX);
    params->SetDpiY(dpiY);
    CaptureMarkers(d, *params);
  }
  if (!bitmap)
    return TVlStatus::Ok();

  VL_TRY(CheckImageSize(width, height, VlBitsPerPixel(format)));
  const std::int64_t pixels = std::int64_t(fullWidth) * fullHeight;
  if (pixels > kPixelsWithoutDataCheck && pixels / kMaxPixelsPerByte > dataBytes)
    return TVlStatus::LimitExceeded("JPEG image larger than its data can hold");
  VL_TRY(bitmap->AllocateImage(width, height, format));
  if (!SafeStart(d))
    return StatusOf(d.err);

  const bool adobe = c.saw_Adobe_marker == TRUE;  // Adobe CMYK is stored as 255 minus the ink
  const bool direct = (outSpace == JCS_EXT_BGR && format == vl24RGB) || (outSpace == JCS_GRAYSCALE && format == vl8g) ||
                      (outSpace == JCS_CMYK && format == vlCMYK && adobe);
  std::vector<std::uint8_t> scratch;
  if (!direct)
    scratch.resize(std::size_t(width) * std::size_t(c.output_components));
  progress.percentPerRow = height > 0 ? 100.0 / height : 0.0;
  for (std::int32_t y = 0; y < height; ++y) {
    if (progress.Aborted())
      return TVlStatus::Aborted();
    std::uint8_t* row = bitmap->RowPointer(y);
    if (!SafeReadRow(d, direct ? row : scratch.data()))
      return StatusOf(d.err);
    if (!direct) {
      const std::uint8_t* s = scratch.data();
      if (outSpace == JCS_CMYK) {
        if (!adobe)
          for (std::uint8_t& v : scratch) v = std::uint8_t(255 - v);
        for (std::int32_t x = 0; x < width; ++x) {
          if (format == vlCMYK) {
            std::memcpy(row + 4 * x, s + 4 * x, 4);
          } else {
            std::uint8_t bgr[3];
            CmykToBgr(s + 4 * x, bgr);
            if (format == vl24RGB)
              std::memcpy(row + 3 * x, bgr, 3);
            else
              row[x] = std::uint8_t(VlGray(bgr[2], bgr[1], bgr[0]));
          }
        }
      } else {  // BGR into CMYK
        for (std::int32_t x = 0; x < width; ++x) BgrToCmyk(s + 3 * x, row + 4 * x);
      }
    }
    progress.ReportRow(y + 1);
  }
  if (height == std::int32_t(c.output_height)) {
    if (!SafeFinish(d))
      return StatusOf(d.err);
  } else {
    jpeg_abort_decompress(&c);
  }
  // Leave the stream behind what libjpeg consumed.
  (void)stream.Seek(stream.Position() - std::int64_t(d.src.pub.bytes_in_buffer));

  if (params && params->jpegAdjustOrientation && params->exifOrientation >= 2 && params->exifOrientation <= 8) {
    VL_TRY(ApplyOrientation(*bitmap, params->exifOrientation));
    params->width = bitmap->Width();
    params->height = bitmap->Height();
    params->SetTiffOrientation(1);  // the pixels are upright now
  }
  return TVlStatus::Ok();
}

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

struct TJpegDestination {
  jpeg_destination_mgr pub;
  TVlStream* stream = nullptr;
  JOCTET* buffer = nullptr;
};

TJpegDestination& DestinationOf(j_compress_ptr c) {
  return *reinterpret_cast<TJpegDestination*>(c->dest);
}

void InitDestination(j_compress_ptr c) {
  TJpegDestination& d = DestinationOf(c);
  d.pub.next_output_byte = d.buffer;
  d.pub.free_in_buffer = kIoBlock;
}

boolean EmptyOutput(j_compress_ptr c) {
  TJpegDestination& d = DestinationOf(c);
  if (!d.stream->WriteAll(d.buffer, std::int64_t(kIoBlock)))
    Fail(reinterpret_cast<j_common_ptr>(c), TVlStatusCode::ioError, "short write");
  d.pub.next_output_byte = d.buffer;
  d.pub.free_in_buffer = kIoBlock;
  return TRUE;
}

void TermDestination(j_compress_ptr c) {
  TJpegDestination& d = DestinationOf(c);
  const std::int64_t n = std::int64_t(kIoBlock - d.pub.free_in_buffer);
  if (n > 0 && !d.stream->WriteAll(d.buffer, n))
    Fail(reinterpret_cast<j_common_ptr>(c), TVlStatusCode::ioError, "short write");
}

struct TJpegEncoder {
  jpeg_compress_struct cinfo{};
  TJpegError err{};
  TJpegDestination dest{};
  std::unique_ptr<JOCTET[]> buffer{new JOCTET[kIoBlock]};
  bool created = false;
  TJpegEncoder() = default;
  TJpegEncoder(const TJpegEncoder&) = delete;
  TJpegEncoder& operator=(const TJpegEncoder&) = delete;
  ~TJpegEncoder() {
    if (created)
      jpeg_destroy_compress(&cinfo);
  }
};

bool SafeCreateCompress(TJpegEncoder& e, TVlStream& stream) {
  InitError(e.err);
  e.cinfo.err = &e.err.pub;
  if (setjmp(e.err.jump))
    return false;
  jpeg_create_compress(&e.cinfo);
  e.created = true;
  e.dest.stream = &stream;
  e.dest.buffer = e.buffer.get();
  e.dest.pub.init_destination = InitDestination;
  e.dest.pub.empty_output_buffer = EmptyOutput;
  e.dest.pub.term_destination = TermDestination;
  e.cinfo.dest = &e.dest.pub;
  return true;
}

bool SafeSetup(TJpegEncoder& e, const TJpegWriteOptions& o, J_COLOR_SPACE in, int components, J_COLOR_SPACE out) {
  if (setjmp(e.err.jump))
    return false;
  jpeg_compress_struct& c = e.cinfo;
  c.in_color_space = in;
  c.input_components = components;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, out);
  c.density_unit = 1;
  c.X_density = UINT16(std::clamp(o.dpiX > 0 ? o.dpiX : 300, 1, 65535));
  c.Y_density = UINT16(std::clamp(o.dpiY > 0 ? o.dpiY : 300, 1, 65535));
  c.dct_method = o.dctMethod == 1 ? JDCT_IFAST : o.dctMethod == 2 ? JDCT_FLOAT : JDCT_ISLOW;
  c.optimize_coding = o.optimalHuffman ? TRUE : FALSE;
  c.smoothing_factor = std::clamp(o.smoothing, 0, 100);
  jpeg_set_quality(&c, std::clamp(o.quality, 1, 100), TRUE);
  if (o.progressive)
    jpeg_simple_progression(&c);
  return true;
}

bool SafeStartCompress(TJpegEncoder& e, const std::vector<TVlJpegMarker>* markers) {
  if (setjmp(e.err.jump))
    return false;
  jpeg_start_compress(&e.cinfo, TRUE);
  if (markers) {
    for (const TVlJpegMarker& m : *markers) {
      const bool app = m.marker >= JPEG_APP0 && m.marker <= JPEG_APP0 + 15;
      if ((!app && m.marker != JPEG_COM) || m.marker == JPEG_APP0 + 14 || m.data.size() > kMaxMarkerData)
        continue;
      jpeg_write_marker(&e.cinfo, m.marker, m.data.data(), unsigned(m.data.size()));
    }
  }
  return true;
}

bool SafeWriteRow(TJpegEncoder& e, JSAMPROW row) {
  if (setjmp(e.err.jump))
    return false;
  JSAMPROW rows[1] = {row};
  return jpeg_write_scanlines(&e.cinfo, rows, 1) == 1;
}

bool SafeFinishCompress(TJpegEncoder& e) {
  if (setjmp(e.err.jump))
    return false;
  jpeg_finish_compress(&e.cinfo);
  return true;
}

// Fills `out` with one row of `src` in the input layout: 1 gray byte, 3 BGR bytes or 4 CMYK
// bytes per pixel.
void PrepareRow(TVlBitmap& src, const std::uint8_t* s, std::int32_t width, int components, std::uint8_t* out) {
  const TVlPixelFormat f = src.PixelFormat();
  auto put = [&](std::int32_t x, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    if (components == 1) {
      out[x] = std::uint8_t(VlGray(r, g, b));
    } else if (components == 3) {
      out[3 * x] = b, out[3 * x + 1] = g, out[3 * x + 2] = r;
    } else {
      const std::uint8_t bgr[3] = {b, g, r};
      BgrToCmyk(bgr, out + 4 * x);
    }
  };
  for (std::int32_t x = 0; x < width; ++x) {
    switch (f) {
      case vl1g: {
        const std::uint8_t v = (s[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        if (components == 1)
          out[x] = v;
        else
          put(x, v, v, v);
        break;
      }
      case vl8g:
        if (components == 1)
          out[x] = s[x];
        else
          put(x, s[x], s[x], s[x]);
        break;
      case vl16g:  // little-endian samples: the high byte second
        if (components == 1)
          out[x] = s[2 * x + 1];
        else
          put(x, s[2 * x + 1], s[2 * x + 1], s[2 * x + 1]);
        break;
      case vl8p: {
        TVlRGB c;
        src.PaletteColor(s[x], c);
        put(x, c.b, c.g, c.r);
        break;
      }
      case vlRGB48:  // R, G, B little-endian samples
        put(x, s[6 * x + 5], s[6 * x + 3], s[6 * x + 1]);
        break;
      case vlCMYK:
        if (components == 4) {
          std::memcpy(out + 4 * x, s + 4 * x, 4);
        } else {
          std::uint8_t bgr[3];
          CmykToBgr(s + 4 * x, bgr);
          put(x, bgr[0], bgr[1], bgr[2]);
        }
        break;
      default:  // vl24RGB
        put(x, s[3 * x], s[3 * x + 1], s[3 * x + 2]);
        break;
    }
  }
}

}  // namespace

TVlStatus WriteJPEGImage(TVlStream& stream, TVlBitmap& bitmap, const TJpegWriteOptions& options,
                         ProgressRecord& progress) {
  if (bitmap.IsEmpty() || bitmap.Width() <= 0 || bitmap.Height() <= 0)
    return TVlStatus::Ok();
  TVlBitmap* src = &bitmap;
  TVlBitmap converted;
  if (bitmap.PixelFormat() == vl32f || bitmap.PixelFormat() == vlCIELab) {
    VL_TRY(converted.AssignImage(bitmap));
    VL_TRY(converted.ConvertToFormat(vl24RGB));
    src = &converted;
  }
  const TVlPixelFormat f = src->PixelFormat();
  const std::int32_t width = src->Width(), height = src->Height();
  if (width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION)
    return TVlStatus::Unsupported("image too large for JPEG");

  J_COLOR_SPACE out;
  switch (options.colorSpace) {
    case 1:
      out = JCS_GRAYSCALE;
      break;
    case 2:
      out = JCS_YCbCr;
      break;
    case 3:
      out = JCS_CMYK;
      break;
    case 4:
      out = JCS_YCCK;
      break;
    default:
      out = JCS_RGB;
      break;
  }
  J_COLOR_SPACE in = JCS_EXT_BGR;
  int components = 3;
  if (out == JCS_CMYK || out == JCS_YCCK) {
    in = JCS_CMYK;
    components = 4;
  } else if (out == JCS_GRAYSCALE && (f == vl8g || f == vl1g || f == vl16g)) {
    in = JCS_GRAYSCALE;  // the same result as RGB input with R = G = B, without the expansion
    components = 1;
  }
  const bool direct =
      (f == vl24RGB && components == 3) || (f == vl8g && components == 1) || (f == vlCMYK && components == 4);

  TJpegEncoder e;
  if (!SafeCreateCompress(e, stream))
    return TVlStatus::LimitExceeded("JPEG encoder could not be created");
  e.cinfo.image_width = JDIMENSION(width);
  e.cinfo.image_height = JDIMENSION(height);
  if (!SafeSetup(e, options, in, components, out) || !SafeStartCompress(e, options.markers))
    return StatusOf(e.err);
  std::vector<std::uint8_t> scratch;
  if (!direct)
    scratch.resize(std::size_t(width) * std::size_t(components));
  progress.percentPerRow = 100.0 / height;
  for (std::int32_t y = 0; y < height; ++y) {
    if (progress.Aborted()) {
      jpeg_abort_compress(&e.cinfo);
      return TVlStatus::Aborted();
    }
    std::uint8_t* row = src->RowPointer(y);
    if (!direct)
      PrepareRow(*src, row, width, components, scratch.data());
    if (!SafeWriteRow(e, direct ? row : scratch.data()))
      return StatusOf(e.err);
    progress.ReportRow(y + 1);
  }
  if (!SafeFinishCompress(e))
    return StatusOf(e.err);
  return TVlStatus::Ok();
}

namespace {

std::vector<std::uint8_t> BuildIptc(const TVlIPTCList& list) {
  std::vector<std::uint8_t> b;
  for (const TVlIPTCRecord& r : list.records) {
    b.insert(b.end(), {0x1C, r.record, r.dataset});
    const std::size_t n = r.data.size();
    if (n < 0x8000) {
      b.push_back(std::uint8_t(n >> 8));
      b.push_back(std::uint8_t(n));
    } else {
      b.insert(b.end(),
               {0x80, 0x04, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    }
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  return b;
}

std::vector<std::uint8_t> BuildPhotoshopMarker(const std::vector<TPsResource>& resources) {
  std::vector<std::uint8_t> d(kPhotoshopId, kPhotoshopId + kPhotoshopIdLength);
  for (const TPsResource& r : resources) {
    d.insert(d.end(), {'8', 'B', 'I', 'M', std::uint8_t(r.id >> 8), std::uint8_t(r.id)});
    if (r.name.empty())
      d.insert(d.end(), {0, 0});
    else
      d.insert(d.end(), r.name.begin(), r.name.end());
    const std::size_t n = r.data.size();
    d.insert(d.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    d.insert(d.end(), r.data.begin(), r.data.end());
    if (n & 1)
      d.push_back(0);
  }
  return d;
}

}  // namespace

void UpdateJpegMarkers(TIOParamsVals& params) {
  std::vector<TVlJpegMarker>& markers = params.jpegMarkers;
  // IPTC
  if (params.iptcInfo.userChanged || (!params.iptcInfo.records.empty() && markers.empty())) {
    const std::vector<std::uint8_t> iptc = BuildIptc(params.iptcInfo);
    auto it = std::find_if(markers.begin(), markers.end(), IsPhotoshopMarker);
    std::vector<TPsResource> resources;
    if (it != markers.end())
      resources = ParsePsResources(it->data);
    std::erase_if(resources, [](const TPsResource& r) { return r.id == 0x0404; });
    if (!iptc.empty())
      resources.push_back({0x0404, {}, iptc});
    std::vector<std::uint8_t> data = BuildPhotoshopMarker(resources);
    if (resources.empty()) {
      if (it != markers.end())
        markers.erase(it);
    } else if (data.size() <= kMaxMarkerData) {
      if (it != markers.end())
        it->data = std::move(data);
      else
        markers.push_back({0xED, std::move(data)});
    }
  }
  // EXIF
  if (params.hasExif) {
    std::vector<std::uint8_t> block;
    if (ExifBlockWriteHook hook = DefaultExifBlockWriter();
        hook && hook(params, block) && block.size() + kExifIdLength <= kMaxMarkerData) {
      auto it = std::find_if(markers.begin(), markers.end(), IsExifMarker);
      if (it != markers.end())
        markers.erase(it);
      TVlJpegMarker m{0xE1, std::vector<std::uint8_t>(kExifId, kExifId + kExifIdLength)};
      m.data.insert(m.data.end(), block.begin(), block.end());
      markers.push_back(std::move(m));
    }
  }
  // XMP
  if (!params.xmpPacket.empty() && params.xmpPacket.size() + kXmpIdLength <= kMaxMarkerData) {
    auto it = std::find_if(markers.begin(), markers.end(), IsXmpMarker);
    if (it != markers.end())
      markers.erase(it);
    TVlJpegMarker m{0xE1, std::vector<std::uint8_t>(kXmpId, kXmpId + kXmpIdLength)};
    m.data.insert(m.data.end(), params.xmpPacket.begin(), params.xmpPacket.end());
    markers.push_back(std::move(m));
  }
}

TVlStatus WriteJPEG(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress) {
  UpdateJpegMarkers(params);
  std::stable_sort(params.jpegMarkers.begin(), params.jpegMarkers.end(),
                   [](const TVlJpegMarker& a, const TVlJpegMarker& b) { return a.marker < b.marker; });
  TJpegWriteOptions o;
  o.quality = params.jpegQuality;
  o.colorSpace = params.jpegColorSpace;
  o.dctMethod = params.jpegDctMethod;
  o.optimalHuffman = params.jpegOptimalHuffman;
  o.smoothing = params.jpegSmoothing;
  o.progressive = params.jpegProgressive;
  o.dpiX = params.dpiX;
  o.dpiY = params.dpiY;
  o.markers = &params.jpegMarkers;
  return WriteJPEGImage(stream, bitmap, o, progress);
}

#include "imaging/formats/jpeg2000.h"

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/limits.h"

namespace {

// ---------------------------------------------------------------------- OpenJPEG plumbing

struct OpjIO {
  TVlStream* stream = nullptr;
  std::int64_t start = 0;  // position of the JPEG 2000 data in the stream
};

OPJ_SIZE_T OpjRead(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* io = static_cast<OpjIO*>(user);
  const std::int64_t r = io->stream->Read(buffer, static_cast<std::int64_t>(n));
  return r > 0 ? static_cast<OPJ_SIZE_T>(r) : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_SIZE_T OpjWrite(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* io = static_cast<OpjIO*>(user);
  return io->stream->WriteAll(buffer, static_cast<std::int64_t>(n)) ? n : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_OFF_T OpjSkip(OPJ_OFF_T n, void* user) {
  auto* io = static_cast<OpjIO*>(user);
  const std::int64_t to = io->stream->Position() + n;
  if (to < io->start || !io->stream->Seek(to))
    return -1;
  return n;
}

OPJ_BOOL OpjSeek(OPJ_OFF_T pos, void* user) {
  auto* io = static_cast<OpjIO*>(user);
  return pos >= 0 && io->stream->Seek(io->start + pos) ? OPJ_TRUE : OPJ_FALSE;
}

void OpjQuiet(const char*, void*) {}

struct CodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using CodecPtr = std::unique_ptr<opj_codec_t, CodecDeleter>;
using OpjStreamPtr = std::unique_ptr<opj_stream_t, StreamDeleter>;
using ImagePtr = std::unique_ptr<opj_image_t, ImageDeleter>;

OpjStreamPtr MakeStream(OpjIO& io, bool input) {
  OpjStreamPtr s(opj_stream_create(65536, input ? OPJ_TRUE : OPJ_FALSE));
  if (!s)
    return s;
  opj_stream_set_user_data(s.get(), &io, nullptr);
  if (input) {
    opj_stream_set_read_function(s.get(), OpjRead);
    opj_stream_set_user_data_length(s.get(), static_cast<OPJ_UINT64>(io.stream->Remaining()));
  } else {
    opj_stream_set_write_function(s.get(), OpjWrite);
  }
  opj_stream_set_skip_function(s.get(), OpjSkip);
  opj_stream_set_seek_function(s.get(), OpjSeek);
  return s;
}

void Quieten(opj_codec_t* c) {
  opj_set_info_handler(c, OpjQuiet, nullptr);
  opj_set_warning_handler(c, OpjQuiet, nullptr);
  opj_set_error_handler(c, OpjQuiet, nullptr);
}

// ---------------------------------------------------------------------- JP2 resolution box

std::uint32_t BE32(const std::uint8_t* p) { return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Walks the boxes in [begin, end) of the stream (at most 256 per level, two levels deep
// below the top) and returns the resolution in dots per inch from 'resc' (or else 'resd').
bool FindResolution(TVlStream& s, std::int64_t begin, std::int64_t end, int depth, double& dpiX, double& dpiY,
                    bool& haveCapture) {
  std::int64_t pos = begin;
  bool found = false;
  for (int n = 0; n < 256 && pos + 8 <= end; ++n) {
    std::uint8_t h[16];
    if (!s.ReadAt(pos, h, 8))
      return found;
    std::uint64_t len = BE32(h);
    const std::uint32_t type = BE32(h + 4);
    std::int64_t header = 8;
    if (len == 1) {
      if (!s.ReadAt(pos + 8, h + 8, 8))
        return found;
      len = std::uint64_t(BE32(h + 8)) << 32 | BE32(h + 12);
      header = 16;
    } else if (len == 0) {
      len = static_cast<std::uint64_t>(end - pos);
    }
    if (len < static_cast<std::uint64_t>(header) || len > static_cast<std::uint64_t>(end - pos))
      return found;
    const std::int64_t body = pos + header, bodyEnd = pos + static_cast<std::int64_t>(len);
    if ((type == 0x6A703268 /* jp2h */ || type == 0x72657320 /* res  */) && depth < 2) {
      found |= FindResolution(s, body, bodyEnd, depth + 1, dpiX, dpiY, haveCapture);
    } else if ((type == 0x72657363 /* resc */ || type == 0x72657364 /* resd */) && bodyEnd - body >= 10) {
      std::uint8_t r[10];
      if (s.ReadAt(body, r, 10) && !(type == 0x72657364 && haveCapture)) {
        const int vn = r[0] << 8 | r[1], vd = r[2] << 8 | r[3], hn = r[4] << 8 | r[5], hd = r[6] << 8 | r[7];
        const int ve = static_cast<std::int8_t>(r[8]), he = static_cast<std::int8_t>(r[9]);
        if (vd > 0 && hd > 0 && ve > -30 && ve < 30 && he > -30 && he < 30) {
          dpiY = vn / double(vd) * std::pow(10.0, ve) * 0.0254;
          dpiX = hn / double(hd) * std::pow(10.0, he) * 0.0254;
          found = true;
          if (type == 0x72657363)
            haveCapture = true;
        }
      }
    }
    pos = bodyEnd;
  }
  return found;
}

std::int32_t ToDpi(double d) {
  if (!(d > 0))
    return 0;
  return static_cast<std::int32_t>(std::min(std::nearbyint(d), 1.0e6));
}

// ---------------------------------------------------------------------- sample access

struct Sampler {
  const opj_image_comp_t* c = nullptr;
  std::uint32_t outW = 1, outH = 1;
  std::int64_t max = 255;
  std::int64_t offset = 0;  // added to signed samples

  void Init(const opj_image_comp_t& comp, std::uint32_t w, std::uint32_t h) {
    c = &comp;
    outW = w, outH = h;
    const std::uint32_t prec = std::clamp<std::uint32_t>(comp.prec, 1, 31);
    max = (std::int64_t(1) << prec) - 1;
    offset = comp.sgnd ? (std::int64_t(1) << (prec - 1)) : 0;
  }
  std::int64_t Raw(std::uint32_t x, std::uint32_t y) const {
    const std::uint32_t cx = c->w == outW ? x : static_cast<std::uint32_t>(std::uint64_t(x) * c->w / outW);
    const std::uint32_t cy = c->h == outH ? y : static_cast<std::uint32_t>(std::uint64_t(y) * c->h / outH);
    std::int64_t v = c->data[std::size_t(std::min(cy, c->h - 1)) * c->w + std::min(cx, c->w - 1)] + offset;
    return std::clamp<std::int64_t>(v, 0, max);
  }
  std::uint8_t At8(std::uint32_t x, std::uint32_t y) const {
    return static_cast<std::uint8_t>((Raw(x, y) * 255 + max / 2) / max);
  }
  std::uint16_t At16(std::uint32_t x, std::uint32_t y) const {
    return static_cast<std::uint16_t>((Raw(x, y) * 65535 + max / 2) / max);
  }
};

std::uint8_t Clamp8(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

}  // namespace

bool IsJP2Stream(TVlStream& stream) {
  TVlStreamRestore keep(stream);
  std::uint8_t h[12];
  return stream.ReadExact(h, 12) && BE32(h) == 12 && BE32(h + 4) == 0x6A502020 && BE32(h + 8) == 0x0D0A870A;
}

bool IsJ2KStream(TVlStream& stream) {
  TVlStreamRestore keep(stream);
  std::uint8_t h[4];
  return stream.ReadExact(h, 4) && h[0] == 0xFF && h[1] == 0x4F && h[2] == 0xFF && h[3] == 0x51;
}

TVlStatus ReadJ2K(TVlStream& stream, TVlBitmap* bitmap, TIOParamsVals& params, ProgressRecord& progress,
                  bool paramsOnly, bool codestream) {
  if (!paramsOnly && !bitmap)
    return progress.Fail(TVlStatus::BadData("no target image"));
  if (codestream ? !IsJ2KStream(stream) : !IsJP2Stream(stream))
    return progress.Fail(TVlStatus::BadData(codestream ? "not a JPEG 2000 code stream" : "not a JP2 file"));
  const std::int32_t wantW = params.width, wantH = params.height;
  const bool thumb = params.thumbnailHint && wantW > 0 && wantH > 0;
  OpjIO io{&stream, stream.Position()};
  const std::int64_t available = stream.Remaining();

  double dx = 0, dy = 0;
  bool capture = false;
  const bool haveRes = !codestream && FindResolution(stream, io.start, io.start + available, 0, dx, dy, capture);
  if (!stream.Seek(io.start))
    return progress.Fail(TVlStatus::IoError("cannot seek in the stream"));

  CodecPtr codec(opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
  OpjStreamPtr s = MakeStream(io, true);
  if (!codec || !s)
    return progress.Fail(TVlStatus::LimitExceeded("cannot set up the JPEG 2000 decoder"));
  Quieten(codec.get());
  opj_dparameters_t dp;
  opj_set_default_decoder_parameters(&dp);
  if (!opj_setup_decoder(codec.get(), &dp))
    return progress.Fail(TVlStatus::BadData("JPEG 2000 decoder set-up failed"));
  opj_image_t* raw = nullptr;
  const OPJ_BOOL headerOk = opj_read_header(s.get(), codec.get(), &raw);
  ImagePtr image(raw);
  if (!headerOk || !image || image->numcomps < 1 || !image->comps)
    return progress.Fail(TVlStatus::BadData("JPEG 2000 header unreadable"));
  const opj_image_comp_t& c0 = image->comps[0];
  if (c0.w < 1 || c0.h < 1 || c0.w > 0x7FFFFFFF || c0.h > 0x7FFFFFFF)
    return progress.Fail(TVlStatus::BadData("JPEG 2000 image size is zero"));
  for (OPJ_UINT32 i = 0; i < image->numcomps; ++i)
    if (image->comps[i].prec < 1 || image->comps[i].prec > 31 || image->comps[i].w < 1 || image->comps[i].h < 1)
      return progress.Fail(TVlStatus::BadData("JPEG 2000 component out of range"));

  const std::uint32_t nc = image->numcomps;
  params.width = static_cast<std::int32_t>(c0.w);
  params.height = static_cast<std::int32_t>(c0.h);
  params.bitsPerSample = static_cast<std::int32_t>(c0.prec);
  params.samplesPerPixel = static_cast<std::int32_t>(nc);
  params.j2kColorSpace = nc < 3 ? 0 : image->color_space == OPJ_CLRSPC_SYCC ? 2 : 1;
  params.SetImageCount(1);
  params.SetDpiX(haveRes ? ToDpi(dx) : 0);
  params.SetDpiY(haveRes ? ToDpi(dy) : 0);
  if (paramsOnly)
    return TVlStatus::Ok();

  // Bound the decoder's own buffers (32-bit samples) by the ceilings and by the data.
  std::int64_t samples = 0;
  for (std::uint32_t i = 0; i < nc; ++i) {
    auto n = CheckedMul(image->comps[i].w, image->comps[i].h);
    if (!n || !(n = CheckedAdd(samples, *n)))
      return progress.Fail(TVlStatus::LimitExceeded("JPEG 2000 image too large"));
    samples = *n;
  }
  auto bytes = CheckedMul(samples, 4);
  if (!bytes)
    return progress.Fail(TVlStatus::LimitExceeded("JPEG 2000 image too large"));
  if (TVlStatus st = CheckBufferSize(*bytes); !st)
    return progress.Fail(st);
  if (TVlStatus st = CheckImageSize(c0.w, c0.h, 24); !st)
    return progress.Fail(st);
  if (samples > available * 4096 + (std::int64_t(1) << 24))
    return progress.Fail(TVlStatus::LimitExceeded("JPEG 2000 image larger than its data can hold"));

  if (thumb) {
    // A thumbnail needs no more resolution levels than keep both sides at the wanted size.
    OPJ_UINT32 reduce = 0;
    while (reduce < 5 && (c0.w >> (reduce + 1)) >= static_cast<OPJ_UINT32>(wantW) &&
           (c0.h >> (reduce + 1)) >= static_cast<OPJ_UINT32>(wantH))
      ++reduce;
    while (reduce > 0 && !opj_set_decoded_resolution_factor(codec.get(), reduce))
      --reduce;
  }
  progress.Report(0);
  if (progress.Aborted())
    return progress.Fail(TVlStatus::Aborted());
  if (!opj_decode(codec.get(), s.get(), image.get()) || !opj_end_decompress(codec.get(), s.get()))
    return progress.Fail(TVlStatus::BadData("JPEG 2000 data corrupt or truncated"));
  for (std::uint32_t i = 0; i < nc; ++i)
    if (!image->comps[i].data || image->comps[i].w < 1 || image->comps[i].h < 1)
      return progress.Fail(TVlStatus::BadData("JPEG 2000 component without data"));

  const std::uint32_t W = image->comps[0].w, H = image->comps[0].h;
  // Which component is alpha: the one the file marks, else the second of two or the fourth of four.
  int alpha = -1;
  for (std::uint32_t i = 0; i < nc; ++i)
    if (image->comps[i].alpha)
      alpha = static_cast<int>(i);
  const bool cmyk = image->color_space == OPJ_CLRSPC_CMYK && nc >= 4;
  if (alpha < 0 && !cmyk && (nc == 2 || nc == 4))
    alpha = static_cast<int>(nc) - 1;
  std::vector<int> colour;
  for (std::uint32_t i = 0; i < nc && colour.size() < (cmyk ? 4u : 3u); ++i)
    if (static_cast<int>(i) != alpha)
      colour.push_back(static_cast<int>(i));
  const bool gray = colour.size() < 3;
  const bool sycc = !gray && image->color_space == OPJ_CLRSPC_SYCC;
  const bool native = params.nativePixelFormat;
  const std::uint32_t prec = image->comps[colour[0]].prec;
  TVlPixelFormat fmt = vl24RGB;
  if (gray && prec == 1 && alpha < 0)
    fmt = vl1g;
  else if (native && gray)
    fmt = prec > 8 ? vl16g : vl8g;
  else if (native && prec > 8 && !sycc && !cmyk)
    fmt = vlRGB48;

  std::vector<Sampler> sm(colour.size());
  for (std::size_t i = 0; i < colour.size(); ++i)
    sm[i].Init(image->comps[colour[i]], W, H);
  Sampler sa;
  if (alpha >= 0)
    sa.Init(image->comps[alpha], W, H);

  TVlBitmap& b = *bitmap;
  if (TVlStatus st = b.AllocateImage(static_cast<std::int32_t>(W), static_cast<std::int32_t>(H), fmt); !st)
    return progress.Fail(st);
  if (b.IsEmpty())
    return progress.Fail(TVlStatus::LimitExceeded("cannot allocate the image"));
  if (alpha >= 0 && !b.AlphaChannel())
    return progress.Fail(TVlStatus::LimitExceeded("cannot allocate the alpha plane"));
  progress.percentPerRow = 100.0 / H;
  for (std::uint32_t y = 0; y < H; ++y) {
    if (progress.Aborted())
      return progress.Fail(TVlStatus::Aborted());
    std::uint8_t* row = b.RowPointer(static_cast<std::int32_t>(y));
    switch (fmt) {
      case vl1g:
        std::memset(row, 0, static_cast<std::size_t>(b.RowLength()));
        for (std::uint32_t x = 0; x < W; ++x)
          if (sm[0].Raw(x, y))
            row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
        break;
      case vl8g:
        for (std::uint32_t x = 0; x < W; ++x)
          row[x] = sm[0].At8(x, y);
        break;
      case vl16g:
        for (std::uint32_t x = 0; x < W; ++x) {
          const std::uint16_t v = sm[0].At16(x, y);
          row[x * 2] = static_cast<std::uint8_t>(v), row[x * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        break;
      case vlRGB48:
        for (std::uint32_t x = 0; x < W; ++x)
          for (int k = 0; k < 3; ++k) {
            const std::uint16_t v = sm[static_cast<std::size_t>(k)].At16(x, y);
            row[x * 6 + k * 2] = static_cast<std::uint8_t>(v), row[x * 6 + k * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
          }
        break;
      default:
        for (std::uint32_t x = 0; x < W; ++x) {
          std::uint8_t r, g, bl;
          if (gray) {
            r = g = bl = sm[0].At8(x, y);
          } else if (cmyk) {
            const int k = 255 - sm[3].At8(x, y);
            r = static_cast<std::uint8_t>((255 - sm[0].At8(x, y)) * k / 255);
            g = static_cast<std::uint8_t>((255 - sm[1].At8(x, y)) * k / 255);
            bl = static_cast<std::uint8_t>((255 - sm[2].At8(x, y)) * k / 255);
          } else if (sycc) {
            const double Y = sm[0].At8(x, y), cb = sm[1].At8(x, y) - 128.0, cr = sm[2].At8(x, y) - 128.0;
            r = Clamp8(Y + 1.402 * cr);
            g = Clamp8(Y - 0.344136 * cb - 0.714136 * cr);
            bl = Clamp8(Y + 1.772 * cb);
          } else {
            r = sm[0].At8(x, y), g = sm[1].At8(x, y), bl = sm[2].At8(x, y);
          }
          row[x * 3] = bl, row[x * 3 + 1] = g, row[x * 3 + 2] = r;
        }
        break;
    }
    if (alpha >= 0) {
      std::uint8_t* a = b.AlphaChannel()->RowPointer(static_cast<std::int32_t>(y));
      for (std::uint32_t x = 0; x < W; ++x)
        a[x] = sa.At8(x, y);
    }
    progress.ReportRow(y);
  }
  if (alpha >= 0)
    b.RecheckAlphaFull();
  return TVlStatus::Ok();
}

TVlStatus WriteJ2K(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress,
                   bool codestream) {
  if (bitmap.IsEmpty())
    return progress.Fail(TVlStatus::BadData("empty image"));
  TVlBitmap converted;
  TVlBitmap* src = &bitmap;
  if (bitmap.PixelFormat() != vl24RGB && bitmap.PixelFormat() != vl1g) {
    if (TVlStatus s = converted.AssignImage(bitmap); !s)
      return progress.Fail(s);
    if (TVlStatus s = converted.ConvertToFormat(vl24RGB); !s)
      return progress.Fail(s);
    src = &converted;
  }
  const bool bilevel = src->PixelFormat() == vl1g;
  const int cs = params.j2kColorSpace;
  const std::uint32_t nc = bilevel || cs == 0 ? 1 : 3;
  const auto W = static_cast<std::uint32_t>(src->Width()), H = static_cast<std::uint32_t>(src->Height());
  auto bytes = CheckedMul(std::int64_t(W) * H, std::int64_t(nc) * 4);
  if (!bytes)
    return progress.Fail(TVlStatus::LimitExceeded("image too large for JPEG 2000"));
  if (TVlStatus s = CheckBufferSize(*bytes); !s)
    return progress.Fail(s);

  opj_image_cmptparm_t parm[3];
  std::memset(parm, 0, sizeof parm);
  for (std::uint32_t i = 0; i < nc; ++i) {
    parm[i].dx = parm[i].dy = 1;
    parm[i].w = W;
    parm[i].h = H;
    parm[i].prec = bilevel ? 1 : 8;
    parm[i].sgnd = 0;
  }
  const OPJ_COLOR_SPACE space = nc == 1 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB;
  ImagePtr image(opj_image_create(nc, parm, space));
  if (!image)
    return progress.Fail(TVlStatus::LimitExceeded("cannot allocate the JPEG 2000 image"));
  image->x0 = image->y0 = 0;
  image->x1 = W;
  image->y1 = H;
  progress.percentPerRow = 50.0 / H;
  for (std::uint32_t y = 0; y < H; ++y) {
    if (progress.Aborted())
      return progress.Fail(TVlStatus::Aborted());
    const std::uint8_t* row = src->RowPointer(static_cast<std::int32_t>(y));
    const std::size_t base = std::size_t(y) * W;
    for (std::uint32_t x = 0; x < W; ++x) {
      if (bilevel) {
        image->comps[0].data[base + x] = (row[x >> 3] & (0x80 >> (x & 7))) ? 1 : 0;
        continue;
      }
      const int bl = row[x * 3], g = row[x * 3 + 1], r = row[x * 3 + 2];
      if (nc == 1) {
        image->comps[0].data[base + x] = VlGray(r, g, bl);
      } else {
        image->comps[0].data[base + x] = r;
        image->comps[1].data[base + x] = g;
        image->comps[2].data[base + x] = bl;
      }
    }
    progress.ReportRow(y);
  }

  opj_cparameters_t cp;
  opj_set_default_encoder_parameters(&cp);
  cp.tcp_numlayers = 1;
  cp.cp_disto_alloc = 1;
  cp.tcp_rates[0] = params.j2kRate > 0 && params.j2kRate < 1 ? static_cast<float>(1.0 / params.j2kRate) : 0.0f;
  cp.irreversible = 0;
  cp.tcp_mct = nc == 3 && cs == 2 ? 1 : 0;  // YCbCr: the code stream's reversible colour transform
  if (params.j2kProgression == 0)
    cp.prog_order = OPJ_LRCP;
  else if (params.j2kProgression == 1)
    cp.prog_order = OPJ_RLCP;
  // The code blocks of the lowest resolution must stay at least one pixel wide.
  int levels = 1;
  while (levels < 6 && (std::min(W, H) >> levels) >= 1)
    ++levels;
  cp.numresolution = levels;

  CodecPtr codec(opj_create_compress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
  if (!codec)
    return progress.Fail(TVlStatus::LimitExceeded("cannot set up the JPEG 2000 encoder"));
  Quieten(codec.get());
  if (!opj_setup_encoder(codec.get(), &cp, image.get()))
    return progress.Fail(TVlStatus::BadData("JPEG 2000 encoder refused the options"));
  OpjIO io{&stream, stream.Position()};
  OpjStreamPtr s = MakeStream(io, false);
  if (!s)
    return progress.Fail(TVlStatus::LimitExceeded("cannot set up the JPEG 2000 encoder"));
  if (!opj_start_compress(codec.get(), image.get(), s.get()) || !opj_encode(codec.get(), s.get()) ||
      !opj_end_compress(codec.get(), s.get()))
    return progress.Fail(TVlStatus::IoError("JPEG 2000 encoding failed"));
  progress.Report(100);
  return TVlStatus::Ok();
}

#include "imaging/formats/pnm_writer.h"

#include <string>
#include <vector>

#include "imaging/formats/two_colour.h"

namespace {
enum class Kind : std::uint8_t { bits, gray, rgb16from8, rgb48, rgb8 };
}

TVlStatus WritePNM(TVlStream& stream, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress) {
  if (bitmap.IsEmpty())
    return progress.Fail(TVlStatus::BadData("empty image"));
  const TVlPixelFormat f = bitmap.PixelFormat();
  Kind kind;
  if ((params.bitsPerSample == 1 && params.samplesPerPixel == 1) || f == vl1g)
    kind = Kind::bits;
  else if (params.bitsPerSample == 8 && params.samplesPerPixel == 1)
    kind = Kind::gray;
  else if (params.bitsPerSample == 16 && params.samplesPerPixel == 3 && f == vl24RGB)
    kind = Kind::rgb16from8;
  else if (f == vlRGB48)
    kind = Kind::rgb48;
  else
    kind = Kind::rgb8;

  TVlBitmap working;
  TVlBitmap* img = &bitmap;
  if (kind == Kind::bits) {
    TVlRGB dark{}, light{};
    if (TVlStatus s = VlApplyTwoColourRule(bitmap, working, img, dark, light); !s)
      return progress.Fail(s);
  }

  std::string comments;
  for (const std::string& c : params.pnmComments)
    comments += "\n# " + c + "\n";
  const std::int32_t w = img->Width(), h = img->Height();
  const char* magic = kind == Kind::bits ? "P4 " : kind == Kind::gray ? "P5 " : "P6 ";
  std::string header = magic + comments + std::to_string(w) + " " + std::to_string(h);
  if (kind == Kind::gray || kind == Kind::rgb8)
    header += " 255";
  else if (kind != Kind::bits)
    header += " 65535";
  header += "\n";
  if (!stream.WriteString(header))
    return progress.Fail(TVlStatus::IoError("PNM write failed"));

  std::size_t lineBytes = 0;
  switch (kind) {
    case Kind::bits: lineBytes = static_cast<std::size_t>((w + 7) / 8); break;
    case Kind::gray: lineBytes = static_cast<std::size_t>(w); break;
    case Kind::rgb8: lineBytes = static_cast<std::size_t>(w) * 3; break;
    default: lineBytes = static_cast<std::size_t>(w) * 6; break;
  }
  std::vector<std::uint8_t> line(lineBytes);
  progress.percentPerRow = 100.0 / h;
  for (std::int32_t y = 0; y < h; ++y) {
    if (progress.Aborted())
      return progress.Fail(TVlStatus::Aborted());
    const std::uint8_t* r = img->RowPointer(y);
    switch (kind) {
      case Kind::bits:
        for (std::size_t i = 0; i < lineBytes; ++i)
          line[i] = static_cast<std::uint8_t>(~r[i]);
        if (w % 8)
          line[lineBytes - 1] &= static_cast<std::uint8_t>(0xFF << (8 - w % 8));
        break;
      case Kind::gray:
        for (std::int32_t x = 0; x < w; ++x) {
          std::uint8_t g;
          if (img->PixelFormat() == vl8g)
            g = r[x];
          else if (img->PixelFormat() == vl24RGB)
            g = static_cast<std::uint8_t>(VlGray(r[x * 3 + 2], r[x * 3 + 1], r[x * 3]));
          else
            g = static_cast<std::uint8_t>(VlGray(img->PixelAsRGB(x, y)));  // may move the row buffer
          line[static_cast<std::size_t>(x)] = g;
        }
        break;
      case Kind::rgb16from8:
        for (std::int32_t x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) {
            const std::uint8_t v = r[x * 3 + 2 - k];  // red, green, blue from B,G,R
            line[static_cast<std::size_t>(x) * 6 + k * 2] = v;  // v * 257 = v in both bytes
            line[static_cast<std::size_t>(x) * 6 + k * 2 + 1] = v;
          }
        break;
      case Kind::rgb48:
        for (std::int32_t x = 0; x < w; ++x)
          for (int k = 0; k < 3; ++k) {
            line[static_cast<std::size_t>(x) * 6 + k * 2] = r[x * 6 + k * 2 + 1];
            line[static_cast<std::size_t>(x) * 6 + k * 2 + 1] = r[x * 6 + k * 2];
          }
        break;
      case Kind::rgb8:
        for (std::int32_t x = 0; x < w; ++x) {
          if (img->PixelFormat() == vl24RGB) {
            line[static_cast<std::size_t>(x) * 3] = r[x * 3 + 2];
            line[static_cast<std::size_t>(x) * 3 + 1] = r[x * 3 + 1];
            line[static_cast<std::size_t>(x) * 3 + 2] = r[x * 3];
          } else {
            const TVlRGB c = img->PixelAsRGB(x, y);
            line[static_cast<std::size_t>(x) * 3] = c.r;
            line[static_cast<std::size_t>(x) * 3 + 1] = c.g;
            line[static_cast<std::size_t>(x) * 3 + 2] = c.b;
          }
        }
        break;
    }
    if (!stream.WriteAll(line.data(), static_cast<std::int64_t>(line.size())))
      return progress.Fail(TVlStatus::IoError("PNM write failed"));
    progress.ReportRow(y);
  }
  return TVlStatus::Ok();
}

#include "imaging/formats/two_colour.h"

#include <cstring>
#include <vector>

namespace {
TVlRGB ColourAt(TVlBitmap& b, const std::uint8_t* r, std::int32_t x) {
  switch (b.PixelFormat()) {
    case vl24RGB: return TVlRGB{r[x * 3], r[x * 3 + 1], r[x * 3 + 2]};
    case vl8g: return TVlRGB{r[x], r[x], r[x]};
    default: {
      TVlRGB c{};
      b.PaletteColor(r[x], c);
      return c;
    }
  }
}
}  // namespace

bool VlFindTwoColours(TVlBitmap& b, TVlRGB& dark, TVlRGB& light) {
  const TVlPixelFormat f = b.PixelFormat();
  if (f != vl24RGB && f != vl8g && f != vl8p)
    return false;
  TVlRGB c[2]{};
  int n = 0;
  for (std::int32_t y = 0; y < b.Height(); ++y) {
    const std::uint8_t* r = b.RowPointer(y);
    for (std::int32_t x = 0; x < b.Width(); ++x) {
      const TVlRGB v = ColourAt(b, r, x);
      if ((n > 0 && v == c[0]) || (n > 1 && v == c[1]))
        continue;
      if (n == 2)
        return false;
      c[n++] = v;
    }
  }
  if (n != 2)
    return false;
  const bool firstDarker = VlGray(c[0]) <= VlGray(c[1]);
  dark = firstDarker ? c[0] : c[1];
  light = firstDarker ? c[1] : c[0];
  return true;
}

TVlStatus VlApplyTwoColourRule(TVlBitmap& image, TVlBitmap& working, TVlBitmap*& result, TVlRGB& dark,
                               TVlRGB& light) {
  dark = TVlRGB{0, 0, 0};
  light = TVlRGB{255, 255, 255};
  if (image.PixelFormat() == vl1g) {
    result = &image;
    return TVlStatus::Ok();
  }
  TVlRGB d{}, l{};
  if (VlFindTwoColours(image, d, l)) {
    VL_TRY(working.AllocateImage(image.Width(), image.Height(), vl1g));
    for (std::int32_t y = 0; y < image.Height(); ++y) {
      std::vector<std::uint8_t> src(image.RowPointer(y), image.RowPointer(y) + image.RowLength());
      std::uint8_t* out = working.RowPointer(y);
      std::memset(out, 0, static_cast<std::size_t>(working.RowLength()));
      for (std::int32_t x = 0; x < image.Width(); ++x)
        if (ColourAt(image, src.data(), x) == l)
          out[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
    dark = d, light = l;
    result = &working;
    return TVlStatus::Ok();
  }
  VL_TRY(working.AssignImage(image));
  VL_TRY(working.ConvertToFormat(vl1g));
  result = &working;
  return TVlStatus::Ok();
}

// Device-independent bitmaps: the packed block (information header, bit-field masks, colour
// table, rows) that clipboards carry and that a BMP file holds after its 14-byte file header.
//
// Entry points: ParseDibHeader, DecodeDibPixels, ReadPackedDib, ReadBmpBlock, WritePackedDib,
// WriteBmpFile.
//
// Reading follows the five steps of every reader: the header is parsed into TVlDibHeader and
// validated (header forms: the 12-byte OS/2 core header, the 16..64-byte OS/2 2.x header, the
// Windows headers of 40, 52, 56, 108 (V4) and 124 (V5) bytes; bit counts 1, 2, 4, 8, 16, 24, 32;
// compressions none, RLE8, RLE4, bit fields, alpha bit fields), every offset and size is checked
// against the block in 64-bit arithmetic, and only then is the image allocated. Rows are stored
// bottom-up unless the height is negative. A colour table or mask block that runs past the data
// is refused. Pixel data shorter than the rows need is a truncated image: the rows that are there
// are decoded, the rest is white, and the status is `truncated` (the image is usable); data far
// shorter than the declared size (less than half, beyond 1 MiB) is refused before allocating,
// and run-length data may expand at most 256 times (plus 1 MiB). Indices beyond the colour table
// read as black. Run-length decoding stops at the end of the data and never writes outside the
// image; pixels past the end of a row are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"

enum TVlDibCompression : std::uint32_t {
  dibRGB = 0,
  dibRLE8 = 1,
  dibRLE4 = 2,
  dibBitFields = 3,
  dibJPEG = 4,
  dibPNG = 5,
  dibAlphaBitFields = 6,
};

struct TVlDibHeader {
  std::uint32_t headerSize = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;  // always positive; topDown gives the row order
  bool topDown = false;
  bool core = false;  // 12-byte OS/2 header: 3-byte colour table entries
  std::uint16_t planes = 1;
  std::uint16_t bitCount = 0;
  std::uint32_t compression = dibRGB;
  std::uint32_t imageSize = 0;
  std::int32_t xPelsPerMeter = 0, yPelsPerMeter = 0;
  std::uint32_t colorsUsed = 0;
  std::uint32_t redMask = 0, greenMask = 0, blueMask = 0, alphaMask = 0;
  bool hasMasks = false;        // masks from the header or the bit-field block
  std::vector<TVlRGB> palette;  // the colour table as stored (at most 256 entries are kept)
  std::int64_t tableEnd = 0;    // offset of the first byte after header, masks and colour table
  std::int64_t rowBytes = 0;    // stored bytes per row (32-bit aligned)
};

struct TVlDibOptions {
  bool paletteAs8p = false;  // 2-, 4- and 8-bit (and coloured 1-bit) images as vl8p instead of vl24RGB
  bool alpha = false;        // 32-bit images: keep an alpha plane when the alpha values vary
};

// Parses and validates the header at the start of `data` (a packed DIB: header first).
TVlStatus ParseDibHeader(const std::uint8_t* data, std::size_t size, TVlDibHeader& header);

// Decodes the rows in bits[0 .. size) into `image`: vl1g for 1-bit images whose table is black
// and white (inverted when entry 0 is the white one), vl8p with paletteAs8p, vl24RGB otherwise.
// Returns `truncated` with a usable image when the rows run short.
TVlStatus DecodeDibPixels(const TVlDibHeader& header, const std::uint8_t* bits, std::size_t size, TVlBitmap& image,
                          const TVlDibOptions& options = {});

// A packed DIB (the clipboard's device-independent bitmap): header, table, rows.
TVlStatus ReadPackedDib(const std::uint8_t* data, std::size_t size, TVlBitmap& image,
                        const TVlDibOptions& options = {});

// A whole BMP file in memory: "BM" file header, then the DIB with its rows at the file
// header's pixel-data offset (0 or an offset inside the header or table means right after it).
TVlStatus ReadBmpBlock(const std::uint8_t* data, std::size_t size, TVlBitmap& image, const TVlDibOptions& options = {});

// The packed DIB of an image: a 40-byte header (rows bottom-up, no compression, resolution
// Trunc(dpi x 39.3700787) pixels per metre), the colour table (vl1g: black, white; vl8p: the
// palette; vl8g: the grays), rows padded to 4 bytes; 1, 8 or 24 bits per pixel (other formats
// are converted to vl24RGB on a copy). The block is 44 + table + rows bytes (4 spare zero bytes at
// the end). Empty for an empty image.
std::vector<std::uint8_t> WritePackedDib(TVlBitmap& image, double dpi);

// The same as a BMP file: 14-byte file header and the DIB (without the spare bytes).
std::vector<std::uint8_t> WriteBmpFile(TVlBitmap& image, double dpi);

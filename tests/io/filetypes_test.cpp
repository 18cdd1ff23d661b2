#include "imaging/io/filetypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pad(Bytes b, size_t n, std::uint8_t fill = 0x20) {
  if (b.size() < n)
    b.resize(n, fill);
  return b;
}

// A minimal little-endian TIFF: one directory with ImageWidth and ImageLength (and, when
// asked, the DNG version tag that marks camera raw).
Bytes TinyTiff(bool dng = false) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  std::uint16_t n = dng ? 3 : 2;
  b.push_back(std::uint8_t(n));
  b.push_back(0);
  auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    for (int i = 0; i < 2; ++i) b.push_back(std::uint8_t(tag >> (8 * i)));
    for (int i = 0; i < 2; ++i) b.push_back(std::uint8_t(type >> (8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(count >> (8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(value >> (8 * i)));
  };
  entry(256, 3, 1, 16);
  entry(257, 3, 1, 16);
  if (dng)
    entry(50706, 1, 4, 0x00000401);
  for (int i = 0; i < 4; ++i) b.push_back(0);
  return Pad(b, 64, 0);
}

Bytes Jpeg(size_t at) {
  Bytes b(at, 0x11);
  b.insert(b.end(), {0xFF, 0xD8, 0xFF, 0xE0});
  return Pad(b, at + 64, 0x11);
}

std::int32_t DetectBytes(const Bytes& b, std::int64_t at = 0) {
  TVlMemoryStream s(b.data(), std::int64_t(b.size()));
  s.Seek(at);
  std::int32_t t = DetectStreamType(s);
  EXPECT_EQ(s.Position(), at);
  return t;
}

Bytes Le32(std::uint32_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Icon(std::uint16_t type) {
  Bytes b = {0, 0, std::uint8_t(type), 0, 1, 0};
  Bytes entry = {16, 16, 0, 0, 1, 0, 32, 0};
  b.insert(b.end(), entry.begin(), entry.end());
  auto size = Le32(40), off = Le32(22);
  b.insert(b.end(), size.begin(), size.end());
  b.insert(b.end(), off.begin(), off.end());
  return Pad(b, 64, 0);
}

}  // namespace

TEST(FileTypes, DetectsEachFormatFromItsHeader) {
  Bytes tga(18, 0);
  tga[2] = 2, tga[12] = 4, tga[14] = 4, tga[16] = 24;
  Bytes psd = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 8, 0, 0, 0, 8, 0, 8, 0, 3};
  Bytes emf(64, 0);
  emf[0] = 1;
  std::memcpy(&emf[40], " EMF", 4);
  Bytes wmf = {1, 0, 9, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const struct {
    const char* name;
    Bytes data;
    std::int32_t id;
  } cases[] = {
      {"stream-header JPEG", Pad({'J', 'F', 'I', 'F', 0}, 20), vlftJPEG},
      {"GIF", Pad({'G', 'I', 'F', '8', '9', 'a'}, 14), vlftGIF},
      {"GIF of 13 bytes", Pad({'G', 'I', 'F', '8', '9', 'a'}, 13), vlftUnknown},
      {"stream-header PCX", Pad({'P', 'C', 'X', '2', 0}, 20), vlftPCX},
      {"BMP", Pad({'B', 'M'}, 20), vlftBMP},
      {"PCX", Pad({0x0A, 5, 1, 8}, 200, 0), vlftPCX},
      {"stream-header TIFF", Pad({'T', 'I', 'F', 'F', 0}, 20), vlftTIFF},
      {"TIFF", TinyTiff(), vlftTIFF},
      {"TIFF of a camera (DNG)", TinyTiff(true), vlftUnknown},
      {"PNG", Pad({0x89, 'P', 'N', 'G', 13, 10, 26, 10}, 20), vlftPNG},
      {"icon", Icon(1), vlftICO},
      {"cursor", Icon(2), vlftCUR},
      {"TGA", tga, vlftTGA},
      {"PNM", Pad({'P', '6', '\n', '#', ' ', 'c', '\n', '0', ' ', '6', '4', ' ', '4', '8', '\n'}, 40, '\n'), vlftPNM},
      {"PNM without height", Pad({'P', '5', ' ', '6', '4'}, 8, ' '), vlftUnknown},
      {"JPEG at 99", Jpeg(99), vlftJPEG},
      {"JPEG at 100", Jpeg(100), vlftUnknown},
      {"JP2", Cat({{0, 0, 0, 12, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A}, Bytes(8, 0)}), vlftJP2},
      {"J2K", Pad({0xFF, 0x4F, 0xFF, 0x51}, 16, 0), vlftJ2K},
      {"AVI", Pad({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}, 16, 0), vlftAVI},
      {"DCX", Cat({Le32(0x3ADE68B1), Le32(12), Le32(0), Bytes(8, 0)}), vlftDCX},
      {"DCX offset past end", Cat({Le32(0x3ADE68B1), Le32(900), Le32(0)}), vlftUnknown},
      {"WMF", wmf, vlftWMF},
      {"EMF", emf, vlftEMF},
      {"PSD", psd, vlftPSD},
      {"empty", {}, vlftUnknown},
      {"garbage", Bytes(300, 0x5A), vlftUnknown},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DetectBytes(c.data), c.id) << c.name;
}

TEST(FileTypes, DetectsAtTheStreamPosition) {
  Bytes b = Cat({Bytes(10, 0), TinyTiff()});
  EXPECT_EQ(DetectBytes(b, 10), vlftTIFF);
}

TEST(FileTypes, TableOrderAndLookups) {
  EXPECT_EQ(FileTypeOfExtension(".JPG"), vlftJPEG);
  EXPECT_EQ(FileTypeOfExtension("tif"), vlftTIFF);
  EXPECT_EQ(FileTypeOfExtension(".pix"), vlftTGA);
  EXPECT_EQ(FileTypeOfExtension(".nef"), vlftRAW);
  EXPECT_EQ(FileTypeOfExtension(".avi"), 0);
  EXPECT_EQ(FileTypeOfExtension(""), 0);
  EXPECT_EQ(FileTypeExtension(vlftTIFF, 2), "FAX");
  EXPECT_EQ(FileTypeExtension(vlftTIFF, 6), "");
  EXPECT_EQ(FileTypeExtensionCount(vlftRAW), 13);
  EXPECT_EQ(FileTypeById(vlftPNM)->name, "Portable Pixmap, GrayMap, BitMap");
  EXPECT_EQ(FileTypeById(vlftJ2K)->optionPages, vlopJ2K);
  EXPECT_EQ(FileTypeById(15), nullptr);
  EXPECT_EQ(FileTypeAt(12)->id, vlftWBMP);  // row order, not id order
  EXPECT_TRUE(IsReadableExtension("a.TIFF"));
  EXPECT_FALSE(IsReadableExtension("a.pdf"));  // written, not read
  EXPECT_FALSE(IsReadableExtension("a.txt"));
}

TEST(FileTypes, ExternalTypes) {
  FileTypeRecord r;
  r.id = 500;
  r.name = "Test";
  r.extensions = "TST";
  r.reader = [](TVlStream&, TVlBitmap&, TIOParamsVals&, bool, ProgressRecord&) {};
  r.detector = [](TVlStream& s, std::int32_t) {
    std::uint8_t b[3] = {};
    return s.Read(b, 3) == 3 && b[0] == 'T' && b[1] == 'S' && b[2] == 'T';
  };
  r.internal = true;  // ignored: registered types are external
  RegisterFileType(r);
  EXPECT_FALSE(FileTypeById(500)->internal);
  EXPECT_EQ(DetectBytes(Pad({'T', 'S', 'T'}, 10, 0)), 500);
  EXPECT_TRUE(IsReadableExtension("x.tst"));
  UnregisterFileType(500);
  EXPECT_EQ(FileTypeById(500), nullptr);
  EXPECT_EQ(DetectBytes(Pad({'T', 'S', 'T'}, 10, 0)), 0);
}

TEST(FileTypes, FileDecisionWithAndWithoutVerification) {
  fs::path dir = fs::temp_directory_path() / "vl_filetypes_test";
  fs::create_directories(dir);
  auto write = [&](const char* name, const Bytes& b) {
    fs::path p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return p;
  };
  const struct {
    const char* name;
    Bytes data;
    bool verify;
    std::int32_t id;
  } cases[] = {
      {"jpeg.tif", Jpeg(0), false, vlftJPEG},  // content wins when loading
      {"jpeg.tif", Jpeg(0), true, 0},          // and disagrees when verifying
      {"raw.nef", TinyTiff(), false, vlftRAW},
      {"raw.nef", TinyTiff(), true, vlftRAW},
      {"tiff.xyz", TinyTiff(), true, 0},
      {"tiff.xyz", TinyTiff(), false, vlftTIFF},
      {"icon.cur", Icon(1), true, vlftCUR},
      {"plain.tif", TinyTiff(), true, vlftTIFF},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DetectFileType(write(c.name, c.data), c.verify), c.id) << c.name << " verify " << c.verify;
  EXPECT_EQ(DetectFileType(dir / "missing.tif", true), 0);
  EXPECT_EQ(DetectFileType("", false), 0);
  EXPECT_EQ(ImageCountOfFile(write("one.png", Pad({0x89, 'P', 'N', 'G'}, 20))), 1);
  EXPECT_EQ(ImageCountOfFile(write("two.tif", TinyTiff())), 1);
  EXPECT_EQ(ImageCountOfFile(dir / "x.avi"), 0);
  fs::remove_all(dir);
}

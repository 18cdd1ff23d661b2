// The clipboard, on the core side: the payloads a copied page offers, and the parsing of pasted
// data (untrusted: every block goes through a bounds-checked reader).
//
// Entry points: MakeClipboardPayloads, PasteFromClipboardData, VlClipboardPasteOrder,
// VlClipboardCodecs, TVlClipboard (the adapter a window system implements), and
// TVlProc::CopyImageToClipboard / TVlProc::PasteFromClipboard on top of it.
//
// Formats, by MIME type:
//   application/x-vellumo-raw  the raw snapshot of the image (TVlBitmap::WriteRawSnapshot):
//                              pixels, palette, format and alpha plane; pasted through the
//                              validating ReadRawSnapshot
//   image/png                  a PNG file, made and read by the hooks in VlClipboardCodecs()
//                              (the program installs the PNG codec there)
//   image/bmp                  a BMP file: 14-byte file header and a device-independent bitmap
//                              (1-bit with a black and white table, 8-bit with the palette or the
//                              grays, 24-bit otherwise; imaging/formats/dib.h). A pasted block
//                              without the "BM" header is read as a packed DIB.
// Paste takes the first of these (in that order) that the clipboard offers; a block it cannot
// read leaves the image as it was. A pasted DIB becomes vl1g when it is 1-bit black and white
// and vl24RGB otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

inline constexpr const char* kVlMimeRaw = "application/x-vellumo-raw";
inline constexpr const char* kVlMimePng = "image/png";
inline constexpr const char* kVlMimeBmp = "image/bmp";

struct TVlClipboardPayloads {
  std::vector<std::uint8_t> raw;  // application/x-vellumo-raw (empty unless asked for)
  std::vector<std::uint8_t> bmp;  // image/bmp: a BMP file
  std::vector<std::uint8_t> dib;  // the packed DIB inside it (what a Windows clipboard calls CF_DIB)
  std::vector<std::uint8_t> png;  // image/png, when a PNG encoder is installed
};

// Codecs the core does not carry itself; the program installs them at start-up.
struct TVlClipboardCodecs {
  std::function<bool(TVlBitmap& image, std::vector<std::uint8_t>& png)> encodePng;
  std::function<bool(const std::uint8_t* data, std::size_t size, TVlBitmap& image)> decodePng;
};
TVlClipboardCodecs& VlClipboardCodecs();

// The payloads of a copy of `image` at `dpi` dots per inch (empty for an empty image).
TVlClipboardPayloads MakeClipboardPayloads(TVlBitmap& image, bool withRaw = true, double dpi = 300);

// Reads a pasted block of the given MIME type into `image`; false (image untouched) when the
// type is unknown or the block cannot be read. A truncated BMP whose header is sound is accepted
// with its missing rows white.
bool PasteFromClipboardData(const std::string& mime, const std::uint8_t* data, std::size_t size, TVlBitmap& image);

// The MIME types paste looks for, in order of preference.
const std::vector<std::string>& VlClipboardPasteOrder();

// What the program's clipboard offers the processing object. Open() false means the clipboard
// cannot be had now: copy and paste then do nothing.
class TVlClipboard {
 public:
  virtual ~TVlClipboard() = default;
  virtual bool Open() { return true; }
  virtual void Close() {}
  virtual void Clear() = 0;
  virtual void SetData(const std::string& mime, std::vector<std::uint8_t> data) = 0;
  // False when the clipboard holds nothing of that type.
  virtual bool GetData(const std::string& mime, std::vector<std::uint8_t>& data) = 0;
};

// A clipboard in memory (tests, and a process-local clipboard).
class TVlMemoryClipboard : public TVlClipboard {
 public:
  bool canOpen = true;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> items;
  bool Open() override { return canOpen; }
  void Clear() override { items.clear(); }
  void SetData(const std::string& mime, std::vector<std::uint8_t> data) override;
  bool GetData(const std::string& mime, std::vector<std::uint8_t>& data) override;
};

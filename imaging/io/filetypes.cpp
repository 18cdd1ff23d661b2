// File-type table and content detection.
//
// Detection runs a fixed sequence of cheap header tests from the stream's position; the first
// that succeeds decides. Each test reads what it needs from the start position and the stream
// is put back after every test. A test whose bytes are not there simply fails.
#include "imaging/io/filetypes.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "tiff/tiff_container.h"
#include "tiff/tiff_pages.h"

namespace {

// Signatures of the view's own layer and vector-object files (never written by this system).
constexpr char kLayerSignature[14] = "VELLUMOLAYERS";  // 13 bytes
constexpr char kNewestVectorVersion = '1';

std::vector<FileTypeRecord>& Table() {
  static std::vector<FileTypeRecord> table = [] {
    const TVlFileReader reads = [](TVlStream&, TVlBitmap&, TIOParamsVals&, bool, ProgressRecord&) {};
    const TVlFileWriter writes = [](TVlStream&, TVlBitmap&, TIOParamsVals&, ProgressRecord&) {};
    const TVlFileDetector never = [](TVlStream&, std::int32_t) { return false; };
    struct Row {
      std::int32_t id;
      const char* name;
      const char* ext;
      bool read, write;
      std::int32_t pages;
    };
    const Row rows[] = {
        {1, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true, vlopTIFF},
        {2, "CompuServe Bitmap", "GIF", true, true, vlopGIF},
        {3, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true, vlopJPEG},
        {4, "PaintBrush", "PCX", true, true, vlopPCX},
        {5, "Windows Bitmap", "BMP;DIB;RLE", true, true, vlopBMP},
        {6, "Windows Icon", "ICO", true, true, 0},
        {7, "Windows Cursor", "CUR", true, false, 0},
        {8, "Portable Network Graphics", "PNG", true, true, vlopPNG},
        {9, "Windows Metafile", "WMF", true, false, 0},
        {10, "Enhanced Windows Metafile", "EMF", true, false, 0},
        {11, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true, vlopTGA},
        {12, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true, 0},
        {16, "Wireless Bitmap", "WBMP", true, true, 0},
        {13, "JPEG2000", "JP2", true, true, vlopJ2K},
        {14, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true, vlopJ2K},
        {17, "PostScript Level 2", "PS;EPS", false, true, 0},
        {18, "Adobe PDF", "PDF", false, true, 0},
        {19, "Multipage PCX", "DCX", true, true, 0},
        {20, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true, false, 0},
        {24, "Photoshop PSD", "PSD", true, true, 0},
        {25, "Vectorial objects", "VLV", true, true, 0},
        {26, "Layers", "LYR", true, true, 0},
        {27, "Layers and objects", "ALL", true, true, 0},
    };
    std::vector<FileTypeRecord> t;
    for (const Row& r : rows) {
      FileTypeRecord rec;
      rec.id = r.id;
      rec.name = r.name;
      rec.extensions = r.ext;
      rec.internal = true;
      rec.optionPages = r.pages;
      // The GIF row is readable and writable only while GIF coders are installed (none yet).
      bool gif = r.id == vlftGIF;
      if (r.read && !gif)
        rec.reader = reads;
      if (r.write && !gif)
        rec.writer = writes;
      rec.detector = never;
      t.push_back(std::move(rec));
    }
    return t;
  }();
  return table;
}

std::map<std::int32_t, TVlImageCounter>& Counters() {
  static std::map<std::int32_t, TVlImageCounter> counters;
  return counters;
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> SplitExtensions(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos)
      end = list.size();
    if (end > start)
      out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// ---- content tests ----

// Reads up to n bytes from p0 (fewer at the end of the stream).
std::vector<std::uint8_t> Peek(TVlStream& s, std::int64_t p0, std::int64_t n) {
  std::vector<std::uint8_t> b(static_cast<size_t>(std::max<std::int64_t>(n, 0)));
  if (!s.Seek(p0))
    return {};
  b.resize(static_cast<size_t>(std::max<std::int64_t>(s.Read(b.data(), n), 0)));
  return b;
}

// The first n bytes, cut at the first zero byte, equal the text.
bool Spells(const std::vector<std::uint8_t>& b, size_t n, const char* text) {
  if (b.size() < n)
    return false;
  size_t len = 0;
  while (len < n && b[len] != 0)
    ++len;
  return len == std::strlen(text) && std::memcmp(b.data(), text, len) == 0;
}

std::uint16_t LE16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t LE32(const std::uint8_t* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24; }
std::uint16_t BE16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }
std::uint32_t BE32(const std::uint8_t* p) { return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3]; }

bool IsIconOrCursor(TVlStream& s, std::int64_t p0, std::int64_t size, std::uint16_t type) {
  if (size - p0 < 23)
    return false;
  auto h = Peek(s, p0, 6);
  if (h.size() < 6 || LE16(&h[0]) != 0 || LE16(&h[2]) != type || LE16(&h[4]) == 0)
    return false;
  const int count = LE16(&h[4]);
  auto e = Peek(s, p0 + 6, std::int64_t(count) * 16);
  if (e.size() < size_t(count) * 16)
    return false;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* p = &e[size_t(i) * 16];
    std::int64_t after = 6 + std::int64_t(i + 1) * 16;
    if (p[3] != 0 || LE32(p + 8) == 0 || std::int64_t(LE32(p + 12)) < after)
      return false;
  }
  return true;
}

bool IsTGA(const std::vector<std::uint8_t>& h) {
  if (h.size() < 18)
    return false;
  const std::uint8_t t = h[2], d = h[16];
  return (t == 1 || t == 2 || t == 3 || t == 9 || t == 10 || t == 11) && h[1] < 2 &&
         (d == 1 || d == 4 || d == 8 || d == 16 || d == 24 || d == 32) && LE16(&h[12]) != 0 && LE16(&h[14]) != 0;
}

bool IsPNM(TVlStream& s, std::int64_t p0) {
  // Tokens are runs of ASCII letters and digits; '#' starts a comment to the end of the line.
  auto b = Peek(s, p0, 65536);
  size_t i = 0;
  int tokens = 0;
  auto next = [&](std::string& tok) {
    tok.clear();
    while (i < b.size()) {
      std::uint8_t c = b[i];
      if (c == '#') {
        while (i < b.size() && b[i] != '\n' && b[i] != '\r')
          ++i;
        continue;
      }
      if (std::isalnum(c))
        break;
      ++i;
    }
    while (i < b.size() && std::isalnum(b[i]))
      tok.push_back(char(b[i++]));
    if (tok.empty())
      return false;
    return ++tokens <= 501;
  };
  auto number = [](const std::string& t) -> long {
    if (t.empty() || t.size() > 9 || !std::all_of(t.begin(), t.end(), ::isdigit))
      return -1;
    return std::stol(t);
  };
  std::string tok;
  if (!next(tok) || tok.size() != 2 || tok[0] != 'P' || tok[1] < '1' || tok[1] > '6')
    return false;
  long width = -1, height = -1;
  while (next(tok)) {
    if (tok == "0")
      continue;  // a zero width is passed over
    width = number(tok);
    break;
  }
  if (next(tok))
    height = number(tok);
  return width > 0 && height > 0;
}

bool IsDCX(TVlStream& s, std::int64_t p0, std::int64_t size) {
  auto b = Peek(s, p0, 4 + 1024 * 4);
  if (b.size() < 4 || LE32(&b[0]) != 0x3ADE68B1)
    return false;
  for (size_t k = 4; k + 4 <= b.size() && k < 4 + 1024 * 4; k += 4) {
    std::uint32_t off = LE32(&b[k]);
    if (off == 0)
      break;
    if (std::int64_t(off) >= size)
      return false;
  }
  return true;
}

bool IsWMF(TVlStream& s, std::int64_t p0) {
  auto b = Peek(s, p0, 22 + 18);
  if (b.size() < 4)
    return false;
  size_t h = LE32(&b[0]) == 0x9AC6CDD7 ? 22 : 0;
  if (b.size() < h + 18)
    return false;
  return LE16(&b[h]) == 1 && LE16(&b[h + 2]) == 9 && LE16(&b[h + 16]) == 0;
}

bool IsVectorObjects(TVlStream& s, std::int64_t at) {
  auto b = Peek(s, at, 4);
  return b.size() == 4 && b[0] == 'V' && b[1] == 'L' && b[2] == 'V' && b[3] >= '1' && b[3] <= kNewestVectorVersion;
}

bool IsLayers(TVlStream& s, std::int64_t at) {
  auto b = Peek(s, at, 17);
  return b.size() == 17 && std::memcmp(b.data(), kLayerSignature, 13) == 0 && std::int32_t(LE32(&b[13])) > 0;
}

std::int32_t Detect(TVlStream& s, std::int64_t p0, std::int64_t size) {
  const auto h = Peek(s, p0, 128);
  const size_t n = h.size();
  if (size > 12 && Spells(h, 5, "JFIF"))
    return vlftJPEG;
  if (size > 13 && n >= 3 && h[0] == 'G' && h[1] == 'I' && h[2] == 'F')
    return vlftGIF;
  if (size > 12 && Spells(h, 5, "PCX2"))
    return vlftPCX;
  if (size > 4 && Spells(h, 4, "PCX"))
    return vlftPCX;
  if (size > 14 && n >= 2 && LE16(&h[0]) == 0x4D42)
    return vlftBMP;
  if (size > 128 && n >= 2 && h[0] == 0x0A && h[1] <= 5)
    return vlftPCX;
  if (size > 12 && Spells(h, 5, "TIFF"))
    return vlftTIFF;
  s.Seek(p0);
  if (IsTIFFStream(s)) {
    s.Seek(p0);
    if (!IsCameraRawTIFF(s))
      return vlftTIFF;
  }
  if (size > 8 && n >= 4 && h[0] == 0x89 && h[1] == 'P' && h[2] == 'N' && h[3] == 'G')
    return vlftPNG;
  if (IsIconOrCursor(s, p0, size, 1))
    return vlftICO;
  if (IsIconOrCursor(s, p0, size, 2))
    return vlftCUR;
  if (IsTGA(h))
    return vlftTGA;
  if (IsPNM(s, p0))
    return vlftPNM;
  {
    auto j = Peek(s, p0, 102);
    for (size_t k = 0; k < 100 && k + 3 <= j.size(); ++k)
      if (j[k] == 0xFF && j[k + 1] == 0xD8 && j[k + 2] == 0xFF)
        return vlftJPEG;
  }
  if (n >= 12 && BE32(&h[0]) == 12 && BE32(&h[4]) == 0x6A502020 && BE32(&h[8]) == 0x0D0A870A)
    return vlftJP2;
  if (n >= 4 && BE16(&h[0]) == 0xFF4F && BE16(&h[2]) == 0xFF51)
    return vlftJ2K;
  if (n >= 12 && std::memcmp(&h[0], "RIFF", 4) == 0 && std::memcmp(&h[8], "AVI ", 4) == 0)
    return vlftAVI;
  if (IsDCX(s, p0, size))
    return vlftDCX;
  if (IsWMF(s, p0))
    return vlftWMF;
  if (n >= 44 && LE32(&h[0]) == 1 && std::memcmp(&h[40], " EMF", 4) == 0)
    return vlftEMF;
  if (n >= 26 && std::memcmp(&h[0], "8BPS", 4) == 0 && BE16(&h[4]) == 1 && BE16(&h[12]) >= 1 && BE16(&h[12]) <= 24 &&
      BE16(&h[22]) >= 1 && BE16(&h[22]) <= 16 && BE16(&h[24]) < 10)
    return vlftPSD;
  if (IsVectorObjects(s, p0))
    return vlftVLV;
  if (IsLayers(s, p0))
    return vlftLYR;
  if (n >= 4) {
    std::int64_t off = std::int32_t(LE32(&h[0]));
    if (off >= 0 && off <= size && IsLayers(s, p0) && IsVectorObjects(s, p0 + off))
      return vlftALL;
  }
  for (const FileTypeRecord& r : Table()) {
    if (r.internal || !r.detector)
      continue;
    s.Seek(p0);
    if (r.detector(s, r.id))
      return r.id;
  }
  if (TVlRawIdentifier identify = CameraRawIdentifier()) {
    s.Seek(p0);
    if (identify(s))
      return vlftRAW;
  }
  return vlftUnknown;
}

}  // namespace

TVlRawIdentifier& CameraRawIdentifier() {
  static TVlRawIdentifier identify = nullptr;
  return identify;
}

std::int32_t DetectStreamType(TVlStream& stream) {
  const std::int64_t p0 = stream.Position();
  const std::int64_t size = stream.Size();
  std::int32_t t = 0;
  try {
    t = Detect(stream, p0, size);
  } catch (...) {
    t = 0;  // a detector that throws counts as unknown content
  }
  stream.Seek(p0);
  return t;
}

std::int32_t DetectFileType(const std::filesystem::path& name, bool verify) {
  if (name.empty())
    return 0;
  std::int32_t t = 0;
  try {
    TVlFileStream f(name, TVlFileStream::Mode::read);
    t = DetectStreamType(f);
  } catch (const TVlFileError&) {
    t = 0;
  }
  const FileTypeRecord* p = FileTypeByExtension(name.extension().string());
  if (p && p->id == vlftRAW && t == vlftTIFF)
    return vlftRAW;
  if (p && !p->internal)
    return p->id;
  if (verify && t != 0) {
    if (!p || t == vlftICO || t == vlftCUR)
      t = p ? p->id : 0;
    else if (t != p->id)
      t = 0;
  }
  return t;
}

const FileTypeRecord* FileTypeById(std::int32_t id) {
  for (const FileTypeRecord& r : Table())
    if (r.id == id)
      return &r;
  return nullptr;
}

const FileTypeRecord* FileTypeByExtension(const std::string& extension) {
  std::string e = Lower(extension);
  if (!e.empty() && e[0] == '.')
    e.erase(0, 1);
  if (e.empty())
    return nullptr;
  for (const FileTypeRecord& r : Table())
    for (const std::string& x : SplitExtensions(r.extensions))
      if (Lower(x) == e)
        return &r;
  return nullptr;
}

std::int32_t FileTypeOfExtension(const std::string& extension) {
  const FileTypeRecord* r = FileTypeByExtension(extension);
  return r ? r->id : 0;
}

std::string FileTypeExtension(std::int32_t id, int k) {
  const FileTypeRecord* r = FileTypeById(id);
  if (!r || k < 0)
    return {};
  auto list = SplitExtensions(r->extensions);
  return size_t(k) < list.size() ? list[size_t(k)] : std::string();
}

int FileTypeExtensionCount(std::int32_t id) {
  const FileTypeRecord* r = FileTypeById(id);
  return r ? int(SplitExtensions(r->extensions).size()) : 0;
}

bool IsReadableExtension(const std::filesystem::path& fileName) {
  const FileTypeRecord* r = FileTypeByExtension(fileName.extension().string());
  return r && r->reader;
}

void RegisterFileType(const FileTypeRecord& record) {
  FileTypeRecord copy = record;
  copy.internal = false;
  if (copy.name.size() > 80)
    copy.name.resize(80);
  if (copy.extensions.size() > 80)
    copy.extensions.resize(80);
  Table().push_back(std::move(copy));
}

void UnregisterFileType(std::int32_t id) {
  auto& t = Table();
  t.erase(std::remove_if(t.begin(), t.end(), [&](const FileTypeRecord& r) { return r.id == id; }), t.end());
}

int FileTypeCount() { return int(Table().size()); }

const FileTypeRecord* FileTypeAt(int index) {
  return index >= 0 && index < FileTypeCount() ? &Table()[size_t(index)] : nullptr;
}

void RegisterImageCounter(std::int32_t id, TVlImageCounter counter) { Counters()[id] = std::move(counter); }

std::int32_t ImageCountOfFile(const std::filesystem::path& fileName) {
  const FileTypeRecord* r = FileTypeByExtension(fileName.extension().string());
  if (!r)
    return 0;  // unknown extensions (and .avi): no media framework here
  switch (r->id) {
    case vlftTIFF: return CountTIFFPagesOfFile(fileName);
    case vlftGIF:
    case vlftICO:
    case vlftDCX: {
      auto it = Counters().find(r->id);
      return it == Counters().end() ? 0 : it->second(fileName);
    }
    default: return 1;
  }
}

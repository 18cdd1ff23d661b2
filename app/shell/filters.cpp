#include "app/shell/filters.h"

#include <filesystem>

const char* const kOpenFilter =
    "一般图像文件|*.tif;*.gif;*.jpg;*.pcx;*.bmp;*.ico;*.cur;*.png;*.wmf;*.emf;*.tga;*.pxm;*.wbmp;*.jp2;*.j2k;*.dcx;"
    "*.crw;*.psd|TIFF文件|*.tif;*.tiff;*.fax;*.g3n;*.g3f;*.xif|CompuServe Bitmap (*.gif)|*.gif|JPEG Bitmap "
    "(*.jpg;*.jpeg;*.jpe;*.jif)|*.jpg;*.jpeg;*.jpe;*.jif|PaintBrush (*.pcx)|*.pcx|Windows Bitmap "
    "(*.bmp;*.dib;*.rle)|*.bmp;*.dib;*.rle|Windows Icon (*.ico)|*.ico|Windows Cursor (*.cur)|*.cur|Portable "
    "Network Graphics (*.png)|*.png|Windows Metafile (*.wmf)|*.wmf|Enhanced Windows Metafile (*.emf)|*.emf|Targa "
    "Bitmap (*.tga;*.targa;*.vda;*.icb;*.vst;*.pix)|*.tga;*.targa;*.vda;*.icb;*.vst;*.pix|Portable Pixmap, "
    "GrayMap, BitMap (*.pxm;*.ppm;*.pgm;*.pbm)|*.pxm;*.ppm;*.pgm;*.pbm|Wireless Bitmap (*.wbmp)|*.wbmp|JPEG2000 "
    "(*.jp2)|*.jp2|JPEG2000 Code Stream (*.j2k;*.jpc;*.j2c)|*.j2k;*.jpc;*.j2c|Multipage PCX (*.dcx)|*.dcx|Camera "
    "RAW|*.crw;*.cr2;*.nef;*.raw;*.pef;*.raf;*.x3f;*.bay;*.orf;*.srf;*.mrw;*.dcr;*.sr2|Photoshop PSD "
    "(*.psd)|*.psd|所有文件 (*.*)|*.*";

std::vector<TFilterEntry> SplitFilter(const std::string& filter) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (true) {
    std::size_t bar = filter.find('|', pos);
    fields.push_back(filter.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
    if (bar == std::string::npos)
      break;
    pos = bar + 1;
  }
  std::vector<TFilterEntry> entries;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    TFilterEntry e;
    e.description = fields[i];
    std::size_t p = 0;
    const std::string& list = fields[i + 1];
    while (p <= list.size()) {
      std::size_t semi = list.find(';', p);
      std::string pat = list.substr(p, semi == std::string::npos ? std::string::npos : semi - p);
      if (!pat.empty())
        e.patterns.push_back(pat);
      if (semi == std::string::npos)
        break;
      p = semi + 1;
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string PathExtension(const std::string& path) {
  return std::filesystem::path(path).extension().string();
}

bool IsListedImageType(const std::string& path) {
  const std::string ext = AsciiLower(PathExtension(path));
  if (ext.size() < 2)
    return false;
  // Whole patterns only: "*.ti" must not match inside "*.tif".
  const std::string needle = "*" + ext;
  const std::string filter = kOpenFilter;
  std::size_t pos = 0;
  while ((pos = filter.find(needle, pos)) != std::string::npos) {
    std::size_t end = pos + needle.size();
    if (end == filter.size() || filter[end] == ';' || filter[end] == '|' || filter[end] == ')')
      return true;
    pos = end;
  }
  return false;
}

// Reading one TIFF page (see tiff_reader.h).
#include "tiff/tiff_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "imaging/geometry.h"
#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/stream.h"
#include "tiff/tiff_container.h"
#include "tiff/tiff_reader_tags.h"
#include "tiff/tiff_jpeg.h"

namespace {

namespace tt = tifftag;

bool Has(const TTIFFDirectory& d, std::uint16_t tag) { return FindTag(d, tag) >= 0; }

// Text of a tag: ASCII through the container's accessor, other types (UNDEFINED version
// fields) as their raw bytes; trailing zero bytes are dropped.
std::string Text(const TTIFFDirectory& d, std::uint16_t tag) {
  int i = FindTag(d, tag);
  if (i < 0)
    return {};
  std::string s;
  if (d.entries[std::size_t(i)].type == 2) {
    s = GetStringTag(d, tag);
  } else {
    std::vector<std::uint8_t> raw;
    if (d.entries[std::size_t(i)].count <= 0xFFFFF && GetRawTag(d, tag, raw))
      s.assign(raw.begin(), raw.end());
  }
  while (!s.empty() && s.back() == '\0')
    s.pop_back();
  return s;
}

// The first byte of a BYTE or UNDEFINED entry, whatever the byte order.
std::int32_t FirstByte(const TTIFFDirectory& d, std::uint16_t tag, std::int32_t def) {
  std::vector<std::uint8_t> raw;
  if (!GetRawTag(d, tag, raw) || raw.empty())
    return def;
  return raw[0];
}

std::uint32_t Count(const TTIFFDirectory& d, std::uint16_t tag) {
  int i = FindTag(d, tag);
  return i < 0 ? 0 : d.entries[std::size_t(i)].count;
}

template <std::size_t N>
void Rationals(const TTIFFDirectory& d, std::uint16_t tag, std::array<double, N>& out) {
  for (std::size_t i = 0; i < N; ++i)
    out[i] = GetRationalElement(d, tag, std::int32_t(i));
}

std::vector<std::uint32_t> UIntArray(const TTIFFDirectory& d, std::uint16_t tag) {
  std::vector<std::int32_t> v;
  GetIntArrayTag(d, tag, v);
  std::vector<std::uint32_t> u(v.size());
  for (std::size_t i = 0; i < v.size(); ++i)
    u[i] = static_cast<std::uint32_t>(v[i]);
  return u;
}

// Rounds half to even and clamps into int32 (NaN gives 0).
std::int32_t RoundToInt(double x) {
  if (!(x == x))
    return 0;
  double r = std::nearbyint(x);
  if (r > 2147483647.0)
    return std::numeric_limits<std::int32_t>::max();
  if (r < -2147483648.0)
    return std::numeric_limits<std::int32_t>::min();
  return std::int32_t(r);
}

std::int32_t TruncToInt(double x) {
  if (!(x == x))
    return 0;
  if (x > 2147483647.0)
    return std::numeric_limits<std::int32_t>::max();
  if (x < -2147483648.0)
    return std::numeric_limits<std::int32_t>::min();
  return std::int32_t(x);
}

void FillExif(const TTIFFDirectory& e, TIOParamsVals& p) {
  p.exifExposureTime = GetRationalTag(e, tt::ExposureTime);
  p.exifFNumber = GetRationalTag(e, tt::FNumber);
  p.exifExposureProgram = GetIntTag(e, tt::ExposureProgram, 0);
  p.exifISOSpeedRatings[0] = GetArrayElement(e, tt::ISOSpeedRatings, 0);
  p.exifISOSpeedRatings[1] = Count(e, tt::ISOSpeedRatings) >= 2 ? GetArrayElement(e, tt::ISOSpeedRatings, 1) : 0;
  p.exifExifVersion = Text(e, tt::ExifVersion);
  p.exifDateTimeOriginal = Text(e, tt::DateTimeOriginal);
  p.exifDateTimeDigitized = Text(e, tt::DateTimeDigitized);
  p.exifCompressedBitsPerPixel = GetRationalTag(e, tt::CompressedBitsPerPixel);
  p.exifShutterSpeedValue = GetRationalTag(e, tt::ShutterSpeedValue);
  p.exifApertureValue = GetRationalTag(e, tt::ApertureValue);
  p.exifBrightnessValue = GetRationalTag(e, tt::BrightnessValue);
  p.exifExposureBiasValue = GetRationalTag(e, tt::ExposureBiasValue);
  p.exifMaxApertureValue = GetRationalTag(e, tt::MaxApertureValue);
  p.exifSubjectDistance = GetRationalTag(e, tt::SubjectDistance);
  p.exifMeteringMode = GetIntTag(e, tt::MeteringMode, 0);
  p.exifLightSource = GetIntTag(e, tt::LightSource, 0);
  p.exifFlash = GetIntTag(e, tt::Flash, 0);
  p.exifFocalLength = GetRationalTag(e, tt::FocalLength);
  p.exifSubsecTime = Text(e, tt::SubsecTime);
  p.exifSubsecTimeOriginal = Text(e, tt::SubsecTimeOriginal);
  p.exifSubsecTimeDigitized = Text(e, tt::SubsecTimeDigitized);
  p.exifFlashPixVersion = Text(e, tt::FlashpixVersion);
  p.exifColorSpace = GetIntTag(e, tt::ColorSpace, 0);
  p.exifPixelXDimension = GetIntTag(e, tt::PixelXDimension, 0);
  p.exifPixelYDimension = GetIntTag(e, tt::PixelYDimension, 0);
  p.exifRelatedSoundFile = Text(e, tt::RelatedSoundFile);
  p.exifFocalPlaneXResolution = GetRationalTag(e, tt::FocalPlaneXResolution);
  p.exifFocalPlaneYResolution = GetRationalTag(e, tt::FocalPlaneYResolution);
  p.exifFocalPlaneResolutionUnit = GetIntTag(e, tt::FocalPlaneResolutionUnit, 0);
  p.exifExposureIndex = GetRationalTag(e, tt::ExposureIndex);
  p.exifSensingMethod = GetIntTag(e, tt::SensingMethod, 0);
  p.exifFileSource = FirstByte(e, tt::FileSource, 0);
  p.exifSceneType = FirstByte(e, tt::SceneType, 0);
  std::vector<std::uint8_t> uc;
  p.exifUserCommentCode.clear();
  p.exifUserComment.clear();
  if (Count(e, tt::UserComment) <= 0xFFFFF && GetRawTag(e, tt::UserComment, uc) && !uc.empty()) {
    std::size_t k = std::min<std::size_t>(8, uc.size());
    p.exifUserCommentCode.assign(uc.begin(), uc.begin() + std::ptrdiff_t(k));
    p.exifUserComment.assign(uc.begin() + std::ptrdiff_t(k), uc.end());
    while (!p.exifUserComment.empty() && p.exifUserComment.back() == '\0')
      p.exifUserComment.pop_back();
  }
  p.exifExposureMode = GetIntTag(e, tt::ExposureMode, -1);
  p.exifWhiteBalance = GetIntTag(e, tt::WhiteBalance, -1);
  p.exifDigitalZoomRatio = Has(e, tt::DigitalZoomRatio) ? GetRationalTag(e, tt::DigitalZoomRatio) : -1.0;
  p.exifFocalLengthIn35mmFilm = GetIntTag(e, tt::FocalLengthIn35mmFilm, -1);
  p.exifSceneCaptureType = GetIntTag(e, tt::SceneCaptureType, -1);
  p.exifGainControl = GetIntTag(e, tt::GainControl, -1);
  p.exifContrast = GetIntTag(e, tt::Contrast, -1);
  p.exifSaturation = GetIntTag(e, tt::Saturation, -1);
  p.exifSharpness = GetIntTag(e, tt::Sharpness, -1);
  p.exifSubjectDistanceRange = GetIntTag(e, tt::SubjectDistanceRange, -1);
  p.exifImageUniqueID = Text(e, tt::ImageUniqueID);

  TVlTagsHandler maker;
  LoadMakerNote(e, tt::MakerNote, maker);
  const TVlMemoryStream& ms = maker.Stream();
  p.exifMakerNote.assign(ms.Data(), ms.Data() + ms.Size());
}

void FillGPS(const TTIFFDirectory& g, TIOParamsVals& p) {
  std::vector<std::uint8_t> ver;
  p.gpsVersionID.clear();
  if (Count(g, tt::GPSVersionID) <= 16 && GetRawTag(g, tt::GPSVersionID, ver)) {
    for (std::size_t i = 0; i < ver.size(); ++i) {
      if (i)
        p.gpsVersionID += '.';
      p.gpsVersionID += std::to_string(ver[i]);
    }
  }
  p.gpsLatitudeRef = Text(g, tt::GPSLatitudeRef);
  Rationals(g, tt::GPSLatitude, p.gpsLatitude);
  p.gpsLongitudeRef = Text(g, tt::GPSLongitudeRef);
  Rationals(g, tt::GPSLongitude, p.gpsLongitude);
  p.gpsAltitudeRef = Has(g, tt::GPSAltitudeRef) ? std::to_string(FirstByte(g, tt::GPSAltitudeRef, 0)) : std::string();
  p.gpsAltitude = GetRationalTag(g, tt::GPSAltitude);
  Rationals(g, tt::GPSTimeStamp, p.gpsTimeStamp);
  p.gpsSatellites = Text(g, tt::GPSSatellites);
  p.gpsStatus = Text(g, tt::GPSStatus);
  p.gpsMeasureMode = Text(g, tt::GPSMeasureMode);
  p.gpsDOP = GetRationalTag(g, tt::GPSDOP);
  p.gpsSpeedRef = Text(g, tt::GPSSpeedRef);
  p.gpsSpeed = GetRationalTag(g, tt::GPSSpeed);
  p.gpsTrackRef = Text(g, tt::GPSTrackRef);
  p.gpsTrack = GetRationalTag(g, tt::GPSTrack);
  p.gpsImgDirectionRef = Text(g, tt::GPSImgDirectionRef);
  p.gpsImgDirection = GetRationalTag(g, tt::GPSImgDirection);
  p.gpsMapDatum = Text(g, tt::GPSMapDatum);
  p.gpsDestLatitudeRef = Text(g, tt::GPSDestLatitudeRef);
  Rationals(g, tt::GPSDestLatitude, p.gpsDestLatitude);
  p.gpsDestLongitudeRef = Text(g, tt::GPSDestLongitudeRef);
  Rationals(g, tt::GPSDestLongitude, p.gpsDestLongitude);
  p.gpsDestBearingRef = Text(g, tt::GPSDestBearingRef);
  p.gpsDestBearing = GetRationalTag(g, tt::GPSDestBearing);
  p.gpsDestDistanceRef = Text(g, tt::GPSDestDistanceRef);
  p.gpsDestDistance = GetRationalTag(g, tt::GPSDestDistance);
  p.gpsDateStamp = Text(g, tt::GPSDateStamp);
}

// The page's fields into the record (everything but the EXIF and GPS directories).
void FillParams(const TTIFFDirectory& d, const TTIFFVars& v, std::int32_t pageCount, TIOParamsVals& p) {
  p.bitsPerSample = v.bitsPerSample;
  p.samplesPerPixel = v.samplesPerPixel;
  p.width = v.imageWidth;
  p.height = v.imageLength;
  p.tiffLittleEndian = v.littleEndian;
  p.SetImageCount(pageCount);
  p.SetTiffOrientation(v.orientation);
  p.tiffCompression = TIFFCompressionToParam(v.compression, v.t4Options);
  std::int32_t ph = TIFFPhotometricToParam(v.photometric);
  if (ph >= 0)
    p.tiffPhotometric = std::uint8_t(ph);
  p.tiffPlanarConfig = v.planarConfig;
  p.tiffDocumentName = v.documentName;
  p.tiffImageDescription = v.imageDescription;
  p.tiffPageName = v.pageName;
  p.tiffPageNumber = v.pageNumber[0];
  p.tiffPageCount = v.pageNumber[1];
  p.tiffFillOrder = v.fillOrder;
  p.exifResolutionUnit = v.resolutionUnit;
  p.exifImageDescription = v.imageDescription;
  p.exifSoftware = v.software;
  p.exifArtist = v.artist;
  p.exifMake = Text(d, tt::Make);
  p.exifModel = Text(d, tt::Model);
  p.exifDateTime = Text(d, tt::DateTime);
  p.exifCopyright = Text(d, tt::Copyright);
  p.exifXPTitle = GetWideStringTag(d, tt::XPTitle);
  p.exifXPComment = GetWideStringTag(d, tt::XPComment);
  p.exifXPAuthor = GetWideStringTag(d, tt::XPAuthor);
  p.exifXPKeywords = GetWideStringTag(d, tt::XPKeywords);
  p.exifXPSubject = GetWideStringTag(d, tt::XPSubject);
  Rationals(d, tt::WhitePoint, p.exifWhitePoint);
  Rationals(d, tt::PrimaryChromaticities, p.exifPrimaryChromaticities);
  Rationals(d, tt::YCbCrCoefficients, p.exifYCbCrCoefficients);
  p.exifYCbCrPositioning = GetIntTag(d, tt::YCbCrPositioning, 0);
  Rationals(d, tt::ReferenceBlackWhite, p.exifReferenceBlackWhite);

  p.colorMap = v.colorMap;
  p.colorMapCount = std::int32_t(v.colorMap.size());

  std::vector<std::uint8_t> raw;
  if (GetRawTag(d, tt::ICCProfile, raw) && !raw.empty())
    p.inputProfile().data = raw;
  else
    p.FreeInputProfile();
  p.iptcInfo.Clear();
  if (GetRawTag(d, tt::IPTC, raw))
    ParseIPTCBlock(raw.data(), raw.size(), p.iptcInfo);
  p.xmpPacket.clear();
  int xi = FindTag(d, tt::XMLPacket);
  if (xi >= 0 && (d.entries[std::size_t(xi)].type == 1 || d.entries[std::size_t(xi)].type == 7) &&
      GetRawTag(d, tt::XMLPacket, raw))
    p.xmpPacket.assign(raw.begin(), raw.end());
  if (GetRawTag(d, tt::ImagingAnnotations, raw) && !raw.empty())
    p.imagingAnnotations().data = raw;
  else
    p.FreeImagingAnnotations();

  // Resolution in dots per inch; a missing or zero resolution gives the default 300.
  const double factor = v.resolutionUnit == 3 ? 2.54 : 1.0;
  const double xr = v.xResolution * factor, yr = v.yResolution * factor;
  std::int32_t dx = RoundToInt(xr), dy = RoundToInt(yr);
  p.SetDpiX(dx != 0 ? dx : 300);
  p.SetDpiY(dy != 0 ? dy : 300);
  if (dx != 0 && xr == xr)
    p.exifXResolution = xr;
  if (dy != 0 && yr == yr)
    p.exifYResolution = yr;
  p.tiffXPosition = TruncToInt(v.resolutionUnit == 3 ? v.xPosition / 2.54 : v.xPosition);
  p.tiffYPosition = TruncToInt(v.resolutionUnit == 3 ? v.yPosition / 2.54 : v.yPosition);
}

// Brings the alpha mask along with an orientation correction of the page.
TVlStatus OrientMask(TVlMask& mask, int orientation) {
  if (orientation < 2 || orientation > 8)
    return TVlStatus::Ok();
  TVlBitmap tmp;
  VL_TRY(tmp.AllocateImage(mask.Width(), mask.Height(), vl8g));
  for (std::int32_t y = 0; y < mask.Height(); ++y)
    std::memcpy(tmp.RowPointer(y), mask.RowPointer(y), std::size_t(mask.Width()));
  VL_TRY(ApplyOrientation(tmp, orientation));
  bool full = mask.full;
  VL_TRY(mask.Allocate(tmp.Width(), tmp.Height(), 8));
  for (std::int32_t y = 0; y < tmp.Height(); ++y)
    std::memcpy(mask.RowPointer(y), tmp.RowPointer(y), std::size_t(tmp.Width()));
  mask.full = full;
  return TVlStatus::Ok();
}

}  // namespace

std::uint8_t TIFFCompressionToParam(std::int32_t c, std::uint32_t t4Options) {
  switch (c) {
    case 1: return 0;
    case 2: return 1;
    case 3: return (t4Options & 1) ? 3 : 2;
    case 4: return 4;
    case 5: return 5;
    case 6: return 6;
    case 7: return 7;
    case 8: return 10;
    case 32773: return 8;
    case 32946: return 9;
    default: return 11;
  }
}

std::int32_t TIFFPhotometricToParam(std::int32_t ph) {
  if (ph >= 0 && ph <= 6)
    return ph;
  if (ph == 8)
    return 7;
  return -1;
}

void ParseIPTCBlock(const std::uint8_t* data, std::size_t length, TVlIPTCList& list) {
  list.Clear();
  std::size_t i = 0;
  while (i + 5 <= length && data[i] == 0x1C) {
    TVlIPTCRecord r;
    r.record = data[i + 1];
    r.dataset = data[i + 2];
    std::size_t n = std::size_t(data[i + 3] << 8 | data[i + 4]);
    i += 5;
    if (n & 0x8000) {  // extended length: the low 15 bits count the length bytes
      std::size_t k = n & 0x7FFF;
      if (k > 4 || i + k > length)
        break;
      n = 0;
      for (std::size_t j = 0; j < k; ++j)
        n = n << 8 | data[i + j];
      i += k;
    }
    if (n > length - i)
      break;
    r.data.assign(data + i, data + i + n);
    i += n;
    list.records.push_back(std::move(r));
  }
}

std::vector<std::uint8_t> BuildIPTCBlock(const TVlIPTCList& list) {
  std::vector<std::uint8_t> out;
  for (const TVlIPTCRecord& r : list.records) {
    out.push_back(0x1C);
    out.push_back(r.record);
    out.push_back(r.dataset);
    std::size_t n = r.data.size();
    if (n < 0x8000) {
      out.push_back(std::uint8_t(n >> 8));
      out.push_back(std::uint8_t(n));
    } else {
      out.push_back(0x80);
      out.push_back(0x04);
      for (int s = 24; s >= 0; s -= 8)
        out.push_back(std::uint8_t(n >> s));
    }
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  while (out.size() % 4)
    out.push_back(0);
  return out;
}

TVlStatus FillTIFFVars(const TTIFFDirectory& d, TTIFFVars& v) {
  v.littleEndian = d.littleEndian;
  v.stream = d.stream;
  v.base = d.base;
  v.imageWidth = GetIntTag(d, tt::ImageWidth, 0);
  v.imageLength = GetIntTag(d, tt::ImageLength, 0);
  v.samplesPerPixel = GetIntTag(d, tt::SamplesPerPixel, 1);
  std::vector<std::int32_t> bits;
  std::int32_t nb = GetIntArrayTag(d, tt::BitsPerSample, bits);
  v.bitsPerSample = nb > 0 ? bits[0] : 1;
  // Values beyond the sample count (some writers list one more) are ignored.
  for (std::int32_t i = 1; i < nb && i < v.samplesPerPixel; ++i)
    if (bits[std::size_t(i)] != bits[0])
      return TVlStatus::Unsupported("samples of different bit depths");
  std::uint32_t rps = static_cast<std::uint32_t>(GetIntTag(d, tt::RowsPerStrip, -1));
  v.rowsPerStrip = (rps == 0 || rps == 0xFFFFFFFFu) ? 0 : std::int64_t(rps);
  v.tileWidth = GetIntTag(d, tt::TileWidth, -1);
  v.tileLength = GetIntTag(d, tt::TileLength, -1);
  v.compression = std::uint16_t(GetIntTag(d, tt::Compression, 1));
  v.planarConfig = std::uint16_t(GetIntTag(d, tt::PlanarConfiguration, 1));
  v.orientation = std::uint16_t(GetIntTag(d, tt::Orientation, 1));
  if (Has(d, tt::Photometric)) {
    v.photometric = std::uint16_t(GetIntTag(d, tt::Photometric, 2));
  } else {
    // Without the tag: RGB for three or more samples, else BlackIsZero (WhiteIsZero for
    // bilevel pages, below).
    v.photometric = v.samplesPerPixel >= 3 || (v.samplesPerPixel == 1 && v.bitsPerSample == 1) ? 2 : 1;
  }
  if (v.photometric == 2 && v.samplesPerPixel == 1 && v.bitsPerSample == 1 && v.compression >= 1 &&
      v.compression <= 4)
    v.photometric = 0;
  v.stripOffsets = UIntArray(d, tt::StripOffsets);
  v.stripByteCounts = UIntArray(d, tt::StripByteCounts);
  v.tileOffsets = UIntArray(d, tt::TileOffsets);
  v.tileByteCounts = UIntArray(d, tt::TileByteCounts);
  v.resolutionUnit = GetIntTag(d, tt::ResolutionUnit, 2);
  v.xResolution = GetRationalTag(d, tt::XResolution);
  v.yResolution = GetRationalTag(d, tt::YResolution);
  v.predictor = GetIntTag(d, tt::Predictor, 1);
  v.jpegTables.clear();
  if (Count(d, tt::JPEGTables) > 0)
    GetRawTag(d, tt::JPEGTables, v.jpegTables);
  v.t4Options = static_cast<std::uint32_t>(GetIntTag(d, tt::T4Options, 0));
  v.fillOrder = GetIntTag(d, tt::FillOrder, 1);
  v.xPosition = GetRationalTag(d, tt::XPosition);
  v.yPosition = GetRationalTag(d, tt::YPosition);
  v.documentName = Text(d, tt::DocumentName);
  v.imageDescription = Text(d, tt::ImageDescription);
  v.pageName = Text(d, tt::PageName);
  v.pageNumber[0] = GetArrayElement(d, tt::PageNumber, 0);
  v.pageNumber[1] = Count(d, tt::PageNumber) >= 2 ? GetArrayElement(d, tt::PageNumber, 1) : 0;
  v.software = Text(d, tt::Software);
  v.artist = Text(d, tt::Artist);
  v.ycbcrSubsampling[0] = Has(d, tt::YCbCrSubSampling) ? GetArrayElement(d, tt::YCbCrSubSampling, 0) : 2;
  v.ycbcrSubsampling[1] =
      Count(d, tt::YCbCrSubSampling) >= 2 ? GetArrayElement(d, tt::YCbCrSubSampling, 1) : 2;
  for (std::int32_t& s : v.ycbcrSubsampling)
    if (s == 0)
      s = 2;
  v.jpegProc = GetIntTag(d, tt::JPEGProc, 0);
  v.jpegInterchangeOffset = static_cast<std::uint32_t>(GetIntTag(d, tt::JPEGInterchangeFormat, 0));
  v.jpegInterchangeLength = static_cast<std::uint32_t>(GetIntTag(d, tt::JPEGInterchangeFormatLength, 0));
  v.extraSamples = GetArrayElement(d, tt::ExtraSamples, 0);
  v.sampleFormat = Has(d, tt::SampleFormat) ? GetArrayElement(d, tt::SampleFormat, 0) : 1;

  // Colour map: exactly 3 x 2^bits values; 16-bit values are taken by their high byte unless
  // every value fits in 8 bits.
  v.colorMap.clear();
  if (v.bitsPerSample >= 1 && v.bitsPerSample <= 8) {
    const std::size_t n = std::size_t(1) << v.bitsPerSample;
    std::vector<std::int32_t> cm;
    if (std::size_t(GetIntArrayTag(d, tt::ColorMap, cm)) == 3 * n) {
      bool eight = std::all_of(cm.begin(), cm.end(), [](std::int32_t x) { return (x & 0xFFFF) < 256; });
      auto level = [&](std::int32_t x) { return std::uint8_t(eight ? (x & 0xFF) : ((x & 0xFFFF) >> 8)); };
      v.colorMap.resize(n);
      for (std::size_t i = 0; i < n; ++i)
        v.colorMap[i] = TVlRGB{level(cm[2 * n + i]), level(cm[n + i]), level(cm[i])};
    }
  }
  return TVlStatus::Ok();
}

TVlStatus ReadTIFF(TVlBitmap* bitmap, TVlStream& stream, std::int32_t& pageCount, TIOParamsVals* params,
                   ProgressRecord& progress, bool paramsOnly, std::unique_ptr<TVlMask>* alphaMask,
                   bool baseAtPosition, bool ignoreAlpha, bool previewMode) {
  pageCount = 0;
  const std::int64_t base = baseAtPosition ? stream.Position() : 0;
  TTIFFHeader header;
  TVlStatus st = ReadTIFFHeader(stream, base, header);
  if (!st.ok())
    return progress.Fail(st);
  if (header.firstOffset == 0)
    return TVlStatus::Ok();

  TTIFFDirectory dir;
  dir.littleEndian = header.littleEndian;
  dir.stream = &stream;
  dir.base = base;
  const std::int32_t index = params ? params->tiffImageIndex : -1;
  const bool loaded = ReadDirectoryChain(index < 0 ? -1 : index, header.firstOffset, dir, pageCount);
  if (params)
    params->SetImageCount(pageCount);
  if (!params || !loaded)
    return TVlStatus::Ok();

  // A SubIFD of the page instead of the page itself.
  if (params->tiffSubIndex >= 0 && std::uint32_t(params->tiffSubIndex) < Count(dir, tt::SubIFDs)) {
    std::uint32_t off = static_cast<std::uint32_t>(GetArrayElement(dir, tt::SubIFDs, params->tiffSubIndex));
    if (off > 0) {
      TTIFFDirectory sub;
      sub.littleEndian = dir.littleEndian;
      sub.stream = &stream;
      sub.base = base;
      std::int32_t n = 0;
      if (ReadDirectoryChain(0, off, sub, n))
        dir = std::move(sub);
    }
  }

  TTIFFVars v;
  st = FillTIFFVars(dir, v);
  v.params = params;
  v.ignoreAlpha = ignoreAlpha || !alphaMask;
  v.nativePixelFormat = params->nativePixelFormat;

  // The record: page fields, then the EXIF and GPS directories.
  params->ClearExif();
  {
    TTIFFVars shown = v;
    if (shown.imageWidth < 0)
      shown.imageWidth = 0;
    if (shown.imageLength < 0)
      shown.imageLength = 0;
    FillParams(dir, shown, pageCount, *params);
  }
  auto loadSub = [&](std::uint16_t tag, TTIFFDirectory& out) {
    std::uint32_t off = static_cast<std::uint32_t>(GetIntTag(dir, tag, 0));
    if (off == 0)
      return false;
    out.littleEndian = dir.littleEndian;
    out.stream = &stream;
    out.base = base;
    std::int32_t n = 0;
    return ReadDirectoryChain(0, off, out, n);
  };
  TTIFFDirectory exif, gps;
  if (loadSub(tt::ExifIFD, exif)) {
    params->hasExif = true;
    FillExif(exif, *params);
  }
  if (loadSub(tt::GPSIFD, gps))
    FillGPS(gps, *params);
  if (!st.ok())
    return progress.Fail(st);

  // Page size: rejected when not positive (values of 2^31 and more read as negative).
  if (v.imageWidth < 0 || v.imageLength < 0)
    return progress.Fail(TVlStatus::BadData("image width or length out of range"));
  if (!previewMode && (v.imageWidth == 0 || v.imageLength == 0))
    return progress.Fail(TVlStatus::BadData("image width or length is 0"));

  if (v.compression == 5) {
    v.lzwDecoder = params->tiffLzwDecoder ? params->tiffLzwDecoder : DefaultTiffLzwDecoder();
    if (!v.lzwDecoder)
      return progress.Fail(TVlStatus::Unsupported("no LZW decoder installed"));
  }
  if (paramsOnly)
    return TVlStatus::Ok();

  const bool oldJPEG = v.jpegProc < 2 && (v.compression == 6 || (v.compression == 7 && v.jpegInterchangeOffset != 0));
  TVlPixelFormat target = vl24RGB;
  if (!oldJPEG) {
    st = CheckTIFFLayout(v, target);
    if (!st.ok())
      return progress.Fail(st);
  }
  if (v.imageWidth == 0 || v.imageLength == 0)
    return progress.Fail(TVlStatus::BadData("image width or length is 0"));
  st = CheckImageSize(v.imageWidth, v.imageLength, VlBitsPerPixel(target));
  if (!st.ok())
    return progress.Fail(st);
  if (previewMode && (v.imageWidth > 400 || v.imageLength > 400))
    return progress.Fail(TVlStatus::LimitExceeded("page too large for a preview"));

  // Alpha mask, opaque to start with.
  if (!v.ignoreAlpha && TIFFPageHasAlpha(v)) {
    if (!*alphaMask)
      *alphaMask = std::make_unique<TVlMask>();
    st = (*alphaMask)->Allocate(v.imageWidth, v.imageLength, 8);
    if (!st.ok())
      return progress.Fail(st);
    for (std::int32_t y = 0; y < v.imageLength; ++y)
      std::memset((*alphaMask)->RowPointer(y), 255, std::size_t(v.imageWidth));
    (*alphaMask)->full = true;
    v.alpha = alphaMask->get();
  }
  if (!bitmap)
    return TVlStatus::Ok();

  progress.rowCounter = 0;
  progress.percentPerRow = 100.0 / double(v.imageLength);
  if (oldJPEG) {
    TTIFFOldJpeg info;
    info.base = v.base;
    info.width = v.imageWidth;
    info.height = v.imageLength;
    info.rowsPerStrip = std::int32_t(std::min<std::int64_t>(v.rowsPerStrip, v.imageLength));
    info.stripOffsets = v.stripOffsets;
    info.stripByteCounts = v.stripByteCounts;
    info.interchangeFormat = v.jpegInterchangeOffset;
    info.interchangeFormatLength = v.jpegInterchangeLength;
    st = ReadOldStyleJPEG(stream, info, *bitmap, progress);
    if (!st.ok() && st.code != TVlStatusCode::aborted)
      (void)progress.Fail(st);
  } else {
    st = bitmap->AllocateImage(v.imageWidth, v.imageLength, target);
    if (!st.ok())
      return progress.Fail(st);
    if (target == vl8p)
      for (std::size_t i = 0; i < v.colorMap.size() && i < 256; ++i)
        bitmap->SetPaletteColor(std::int32_t(i), v.colorMap[i]);
    const bool tiled = v.tileWidth >= 1 && v.tileLength >= 1;
    // White, or palette index 0: what undecoded parts of the page show (stripped pages paint
    // the rows their strips leave out themselves).
    if (tiled || v.stripOffsets.empty())
      bitmap->FillImage(target == vl1g ? 1.0 : target == vl8g ? 255.0 : target == vl16g ? 65535.0
                                                      : target == vl8p ? 0.0 : double(clWhite));
    if (tiled) {
      if (!v.tileOffsets.empty())
        st = ReadTIFFTiles(v, *bitmap, progress, v.tileOffsets, v.tileByteCounts);
      else
        st = ReadTIFFTiles(v, *bitmap, progress, v.stripOffsets, v.stripByteCounts);
    } else if (!v.stripOffsets.empty()) {
      st = ReadTIFFStrips(v, *bitmap, progress);
    }
  }
  if (!st.ok())
    return st;

  if (params->tiffAdjustOrientation && v.orientation >= 2 && v.orientation <= 8) {
    st = ApplyOrientation(*bitmap, v.orientation);
    if (st.ok() && v.alpha)
      st = OrientMask(*v.alpha, v.orientation);
    if (!st.ok())
      return progress.Fail(st);
    // The pixels are upright now; a record that still named the old orientation would have a
    // writer turn them again.
    params->SetTiffOrientation(1);
  }
  return TVlStatus::Ok();
}

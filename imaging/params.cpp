#include "imaging/params.h"

#include <algorithm>
#include <chrono>

namespace {
// Now as days since 1899-12-30 (the date-time doubles TGA fields carry).
double NowAsDays() {
  using namespace std::chrono;
  double unixDays = duration<double>(system_clock::now().time_since_epoch()).count() / 86400.0;
  return unixDays + 25569.0;
}

template <class T>
void CopyOwned(std::unique_ptr<T>& dst, const std::unique_ptr<T>& src) {
  if (src)
    dst = std::make_unique<T>(*src);
  else
    dst.reset();
}
}  // namespace

TIOParamsVals::TIOParamsVals(TVlIO* owner) : ownerIO(owner) { ResetParams(); }

TIOParamsVals::~TIOParamsVals() = default;

TIOParamsVals::TIOParamsVals(const TIOParamsVals& other) : TIOParamsFields() { CopyParams(other); }

TIOParamsVals& TIOParamsVals::operator=(const TIOParamsVals& other) {
  if (this != &other)
    CopyParams(other);
  return *this;
}

void TIOParamsVals::ResetParams() {
  static_cast<TIOParamsFields&>(*this) = TIOParamsFields{};
  tiffLzwDecoder = DefaultTiffLzwDecoder();
  tiffLzwEncoder = DefaultTiffLzwEncoder();
  tgaDate = NowAsDays();
  icoSizes[0] = {64, 64};
  icoBitCounts[0] = 8;
  if (ownerImageSize)
    ownerImageSize(width, height);
  SetDpiX(300);
  SetDpiY(300);
  annotations_.reset();
  inputProfile_.reset();
  defaultProfile_.reset();
  outputProfile_.reset();
  ClearExif();
}

void TIOParamsVals::ClearReadInfo() {
  iptcInfo.Clear();
  jpegMarkers.clear();
  gifComments.clear();
  pngTextKeys.clear();
  pngTexts.clear();
  pnmComments.clear();
  annotations_.reset();
  inputProfile_.reset();
  tiffDocumentName.clear();
  tiffImageDescription.clear();
  tiffPageName.clear();
  tgaDescription.clear();
  tgaAuthor.clear();
  tgaImageName.clear();
  xmpPacket.clear();
  ClearExif();
}

void TIOParamsVals::ClearExif() {
  static_cast<TVlExifFields&>(*this) = TVlExifFields{};
  // The resolutions mirror dpiX/dpiY, which stay.
  exifXResolution = dpiX;
  exifYResolution = dpiY;
  exifThumbnail.reset();
  for (auto it = jpegMarkers.begin(); it != jpegMarkers.end(); ++it) {
    if (it->marker == 0xE1 && it->data.size() >= 4 && it->data[0] == 'E' && it->data[1] == 'x' && it->data[2] == 'i' &&
        it->data[3] == 'f') {
      jpegMarkers.erase(it);
      break;
    }
  }
}

void TIOParamsVals::CopyParams(const TIOParamsVals& source) {
  if (&source == this)
    return;
  static_cast<TIOParamsFields&>(*this) = source;
  // A source without a thumbnail leaves ours in place; annotations and profiles follow the source.
  if (source.exifThumbnail) {
    if (!exifThumbnail)
      exifThumbnail = std::make_unique<TVlBitmap>();
    (void)exifThumbnail->AssignImage(*source.exifThumbnail);
  }
  CopyOwned(annotations_, source.annotations_);
  CopyOwned(inputProfile_, source.inputProfile_);
  CopyOwned(defaultProfile_, source.defaultProfile_);
  CopyOwned(outputProfile_, source.outputProfile_);
}

void TIOParamsVals::CopyWriteOptions(const TIOParamsVals& s) {
  bitsPerSample = s.bitsPerSample;
  samplesPerPixel = s.samplesPerPixel;
  tiffCompression = s.tiffCompression;
  tiffPhotometric = s.tiffPhotometric;
  tiffPlanarConfig = s.tiffPlanarConfig;
  tiffOrientation = s.tiffOrientation;
  exifOrientation = s.exifOrientation;
  tiffLzwDecoder = s.tiffLzwDecoder;
  tiffLzwEncoder = s.tiffLzwEncoder;
  tiffAdjustOrientation = s.tiffAdjustOrientation;
  tiffJpegQuality = s.tiffJpegQuality;
  tiffJpegColorSpace = s.tiffJpegColorSpace;
  tiffFillOrder = s.tiffFillOrder;
  tiffZipLevel = s.tiffZipLevel;
  gifInterlaced = s.gifInterlaced;
  gifLzwDecoder = s.gifLzwDecoder;
  gifLzwEncoder = s.gifLzwEncoder;
  jpegColorSpace = s.jpegColorSpace;
  jpegQuality = s.jpegQuality;
  jpegDctMethod = s.jpegDctMethod;
  jpegOptimalHuffman = s.jpegOptimalHuffman;
  jpegSmoothing = s.jpegSmoothing;
  jpegProgressive = s.jpegProgressive;
  j2kColorSpace = s.j2kColorSpace;
  j2kRate = s.j2kRate;
  j2kProgression = s.j2kProgression;
  pcxVersion = s.pcxVersion;
  pcxCompression = s.pcxCompression;
  bmpVersion = s.bmpVersion;
  bmpCompression = s.bmpCompression;
  bmpAlpha = s.bmpAlpha;
  pngInterlaced = s.pngInterlaced;
  pngFilter = s.pngFilter;
  pngCompression = s.pngCompression;
  tgaCompressed = s.tgaCompressed;
  tgaGrayLevel = s.tgaGrayLevel;
}

void TIOParamsVals::SetImageIndex(std::int32_t v) {
  imageIndex = tiffImageIndex = dcxImageIndex = gifImageIndex = icoImageIndex = curImageIndex = v;
}

void TIOParamsVals::SetImageCount(std::int32_t v) {
  imageCount = tiffImageCount = gifImageCount = mediaFrameCount = mediaFrameCount2 = v;
}

void TIOParamsVals::SetThumbnailHint(bool v) { thumbnailHint = jpegThumbnailHint = v; }

void TIOParamsVals::SetTiffOrientation(std::int32_t v) { tiffOrientation = exifOrientation = v; }

void TIOParamsVals::SetDpiX(std::int32_t v) {
  dpiX = v;
  exifXResolution = v;
  if (onResolutionChange)
    onResolutionChange(dpiX, dpiY);
}

void TIOParamsVals::SetDpiY(std::int32_t v) {
  dpiY = v;
  exifYResolution = v;
  if (onResolutionChange)
    onResolutionChange(dpiX, dpiY);
}

namespace {
// The whole-number resolution of a double (NaN counts as 0, the range is clamped).
std::int32_t TruncResolution(double v) {
  if (v != v)
    return 0;
  return static_cast<std::int32_t>(std::clamp(v, -2147483648.0, 2147483647.0));
}
}  // namespace

void TIOParamsVals::SetExifXResolution(double v) {
  SetDpiX(TruncResolution(v));
  exifXResolution = v;
}

void TIOParamsVals::SetExifYResolution(double v) {
  SetDpiY(TruncResolution(v));
  exifYResolution = v;
}

TVlBlob& TIOParamsVals::inputProfile() {
  if (!inputProfile_)
    inputProfile_ = std::make_unique<TVlBlob>();
  return *inputProfile_;
}

TVlBlob& TIOParamsVals::defaultProfile() {
  if (!defaultProfile_)
    defaultProfile_ = std::make_unique<TVlBlob>();
  return *defaultProfile_;
}

TVlBlob& TIOParamsVals::outputProfile() {
  if (!outputProfile_)
    outputProfile_ = std::make_unique<TVlBlob>();
  return *outputProfile_;
}

TVlBlob& TIOParamsVals::imagingAnnotations() {
  if (!annotations_)
    annotations_ = std::make_unique<TVlBlob>();
  return *annotations_;
}

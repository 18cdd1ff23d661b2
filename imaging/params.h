// TIOParamsVals: the parameter record that travels with one image from reader to writer.
//
// A general group (size, depth, resolution, file type, image index and count) and one group
// per file format side by side. Readers start with ClearReadInfo() and fill what they find;
// the page store keeps one record per page; writers read it (and may adjust bitsPerSample,
// samplesPerPixel or tiffPhotometric to what they can encode).
//
// Fields whose setting has side effects are reached through Set…() calls (imageIndex,
// imageCount, thumbnailHint, tiffOrientation, dpiX/dpiY, exifXResolution/exifYResolution);
// read them directly. Strings are UTF-8; the XP texts are UTF-16.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"

class TVlIO;

// One marker segment of a JPEG file (APPn, COM …): the marker byte and its data without the
// length field.
struct TVlJpegMarker {
  std::uint8_t marker = 0;
  std::vector<std::uint8_t> data;
  friend bool operator==(const TVlJpegMarker&, const TVlJpegMarker&) = default;
};

// One IPTC record (record number, dataset number, data).
struct TVlIPTCRecord {
  std::uint8_t record = 2;
  std::uint8_t dataset = 0;
  std::vector<std::uint8_t> data;
  friend bool operator==(const TVlIPTCRecord&, const TVlIPTCRecord&) = default;
};

struct TVlIPTCList {
  std::vector<TVlIPTCRecord> records;
  bool userChanged = false;  // set by whoever edits the list, so the JPEG writer rebuilds its block
  void Clear() { records.clear(); }
  friend bool operator==(const TVlIPTCList&, const TVlIPTCList&) = default;
};

// An opaque block carried with the image (imaging annotations, ICC profiles).
struct TVlBlob {
  std::vector<std::uint8_t> data;
  friend bool operator==(const TVlBlob&, const TVlBlob&) = default;
};

// Process-wide GIF LZW routine slots (the GIF coders fill them when installed).
using GifLzwDecodeHook = void*;
using GifLzwEncodeHook = void*;

// The EXIF and GPS fields (tag names of EXIF 2.2), reset together by ClearExif.
struct TVlExifFields {
  // ---- EXIF and GPS ----
  bool hasExif = false;
  std::string exifImageDescription, exifMake, exifModel;
  std::int32_t exifOrientation = 1;
  double exifXResolution = 300.0, exifYResolution = 300.0;  // set through SetExif…Resolution
  std::int32_t exifResolutionUnit = 0;
  std::string exifSoftware, exifArtist, exifDateTime;
  std::array<double, 2> exifWhitePoint{};
  std::array<double, 6> exifPrimaryChromaticities{};
  std::array<double, 3> exifYCbCrCoefficients{};
  std::int32_t exifYCbCrPositioning = 0;
  std::array<double, 6> exifReferenceBlackWhite{};
  std::string exifCopyright;
  double exifExposureTime = 0, exifFNumber = 0;
  std::int32_t exifExposureProgram = 0;
  std::array<std::int32_t, 2> exifISOSpeedRatings{};
  std::string exifExifVersion, exifDateTimeOriginal, exifDateTimeDigitized;
  double exifCompressedBitsPerPixel = 0, exifShutterSpeedValue = 0, exifApertureValue = 0, exifBrightnessValue = 0,
         exifExposureBiasValue = 0, exifMaxApertureValue = 0, exifSubjectDistance = 0;
  std::int32_t exifMeteringMode = 0, exifLightSource = 0, exifFlash = 0;
  double exifFocalLength = 0;
  std::string exifSubsecTime, exifSubsecTimeOriginal, exifSubsecTimeDigitized, exifFlashPixVersion;
  std::int32_t exifColorSpace = 0, exifPixelXDimension = 0, exifPixelYDimension = 0;
  std::string exifRelatedSoundFile;
  double exifFocalPlaneXResolution = 0, exifFocalPlaneYResolution = 0;
  std::int32_t exifFocalPlaneResolutionUnit = 0;
  double exifExposureIndex = 0;
  std::int32_t exifSensingMethod = 0, exifFileSource = 0, exifSceneType = 0;
  std::string exifUserComment, exifUserCommentCode;
  // The maker-note directory captured whole: the memory block of a TVlTagsHandler (a
  // self-contained little-endian directory); empty when none.
  std::vector<std::uint8_t> exifMakerNote;
  std::u16string exifXPTitle, exifXPComment, exifXPAuthor, exifXPKeywords, exifXPSubject;
  std::int32_t exifExposureMode = -1, exifWhiteBalance = -1;
  double exifDigitalZoomRatio = -1.0;
  std::int32_t exifFocalLengthIn35mmFilm = -1, exifSceneCaptureType = -1, exifGainControl = -1, exifContrast = -1,
               exifSaturation = -1, exifSharpness = -1, exifSubjectDistanceRange = -1;
  std::string exifImageUniqueID;
  std::string gpsVersionID, gpsLatitudeRef;
  std::array<double, 3> gpsLatitude{};
  std::string gpsLongitudeRef;
  std::array<double, 3> gpsLongitude{};
  std::string gpsAltitudeRef;
  double gpsAltitude = 0;
  std::array<double, 3> gpsTimeStamp{};
  std::string gpsSatellites, gpsStatus, gpsMeasureMode;
  double gpsDOP = 0;
  std::string gpsSpeedRef;
  double gpsSpeed = 0;
  std::string gpsTrackRef;
  double gpsTrack = 0;
  std::string gpsImgDirectionRef;
  double gpsImgDirection = 0;
  std::string gpsMapDatum, gpsDestLatitudeRef;
  std::array<double, 3> gpsDestLatitude{};
  std::string gpsDestLongitudeRef;
  std::array<double, 3> gpsDestLongitude{};
  std::string gpsDestBearingRef;
  double gpsDestBearing = 0;
  std::string gpsDestDistanceRef;
  double gpsDestDistance = 0;
  std::string gpsDateStamp;

};

// Every plain field of the record with its default; copied as a whole by CopyParams.
struct TIOParamsFields : TVlExifFields {

  // ---- general ----
  std::int32_t bitsPerSample = 8;
  std::string fileName;
  std::int32_t samplesPerPixel = 3;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t dpiX = 300;   // set through SetDpiX
  std::int32_t dpiY = 300;   // set through SetDpiY
  std::int32_t fileType = 0;
  std::int32_t imageIndex = 0;  // set through SetImageIndex
  std::int32_t imageCount = 0;  // set through SetImageCount
  bool thumbnailHint = false;   // set through SetThumbnailHint

  // ---- TIFF ----
  std::uint8_t tiffCompression = 0;  // 0 none, 1 MH, 2 G3 1-D, 3 G3 2-D, 4 G4, 5 LZW, 6 old JPEG, 7 JPEG,
                                     // 8 PackBits, 9 deflate (32946), 10 deflate (8), 11 other
  std::int32_t tiffImageIndex = 0;
  std::int32_t tiffSubIndex = -1;
  std::uint8_t tiffPhotometric = 2;  // 0 WhiteIsZero, 1 BlackIsZero, 2 RGB, 3 palette, 4 mask, 5 CMYK, 6 YCbCr, 7 CIELab
  std::int32_t tiffPlanarConfig = 1;
  std::int32_t tiffXPosition = 0, tiffYPosition = 0;
  std::string tiffDocumentName, tiffImageDescription, tiffPageName;
  std::int32_t tiffPageNumber = -1, tiffPageCount = -1;
  std::int32_t tiffOrientation = 1;  // set through SetTiffOrientation
  LzwDecodeHook tiffLzwDecoder = nullptr;
  LzwEncodeHook tiffLzwEncoder = nullptr;
  bool tiffAdjustOrientation = false;
  std::int32_t tiffJpegQuality = 80;
  std::uint8_t tiffJpegColorSpace = 2;  // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCbCrK
  std::int32_t tiffZipLevel = 1;        // 0 fastest, 1 default, 2 maximum
  std::int32_t tiffImageCount = 0;
  std::int32_t tiffFillOrder = 1;
  bool tiffLittleEndian = true;
  std::int32_t dcxImageIndex = 0;

  // ---- GIF ----
  std::string gifVersion = "GIF89a";
  std::int32_t gifImageIndex = 0;
  std::int32_t gifXPosition = 0, gifYPosition = 0;
  std::int32_t gifDelayTime = 0;
  bool gifTransparent = false;
  TVlRGB gifTransparentColor{};
  bool gifInterlaced = false;
  std::int32_t gifScreenWidth = 0, gifScreenHeight = 0;
  TVlRGB gifBackgroundColor{};
  std::int32_t gifAspectRatio = 0;
  std::vector<std::string> gifComments;
  std::uint8_t gifDisposal = 2;
  GifLzwDecodeHook gifLzwDecoder = nullptr;
  GifLzwEncodeHook gifLzwEncoder = nullptr;
  std::int32_t gifImageCount = 0;

  // ---- JPEG ----
  std::uint8_t jpegColorSpace = 2;  // 0 RGB, 1 GrayScale, 2 YCbCr, 3 CMYK, 4 YCbCrK
  std::int32_t jpegQuality = 80;
  std::uint8_t jpegDctMethod = 0;  // 0 ISLOW, 1 IFAST, 2 FLOAT
  bool jpegOptimalHuffman = false;
  std::int32_t jpegSmoothing = 0;
  bool jpegProgressive = false;
  std::uint8_t jpegScale = 1;  // 0 automatic, 1 full, 2 half, 3 quarter, 4 eighth
  std::vector<TVlJpegMarker> jpegMarkers;
  std::int32_t jpegScaleUsed = 1;
  std::int32_t jpegOriginalWidth = 0, jpegOriginalHeight = 0;
  bool jpegAdjustOrientation = false;
  bool jpegThumbnailHint = false;

  // ---- JPEG 2000 ----
  std::uint8_t j2kColorSpace = 1;  // 0 GrayScale, 1 RGB, 2 YCbCr
  double j2kRate = 1.0;
  std::uint8_t j2kProgression = 0;  // 0 LRCP, 1 RLCP

  // ---- PCX and BMP ----
  std::int32_t pcxVersion = 5;
  std::uint8_t pcxCompression = 1;  // 0 none, 1 run-length
  std::uint8_t bmpVersion = 1;      // 0/1 Windows 40-byte header, 2 OS/2 12-byte, 3 OS/2 2.x 64-byte
  std::uint8_t bmpCompression = 0;  // 0 none, 1 run-length
  bool bmpAlpha = false;

  // ---- icon and cursor ----
  std::int32_t icoImageIndex = 0;
  TVlRGB icoBackgroundColor{255, 255, 255};
  std::int32_t curImageIndex = 0;
  std::int32_t curHotSpotX = 0, curHotSpotY = 0;
  TVlRGB curBackgroundColor{255, 255, 255};

  // ---- PNG ----
  bool pngInterlaced = false;
  TVlRGB pngBackgroundColor{};
  std::uint8_t pngFilter = 0;  // 0 None, 1 Sub, 2 Paeth
  std::int32_t pngCompression = 5;
  std::vector<std::string> pngTextKeys, pngTexts;

  // ---- TGA ----
  std::int32_t tgaXPosition = 0, tgaYPosition = 0;
  bool tgaCompressed = true;
  std::string tgaDescription, tgaAuthor;
  double tgaDate = 0.0;  // days since 1899-12-30, the moment of reset
  std::string tgaImageName;
  TVlRGB tgaBackgroundColor{};
  double tgaAspectRatio = 1.0;
  double tgaGamma = 2.2;
  bool tgaGrayLevel = false;

  // ---- metadata objects ----
  TVlIPTCList iptcInfo;
  std::vector<std::string> pnmComments;

  // ---- video and other multi-frame sources (carried only) ----
  std::int32_t mediaFrameCount = 0, mediaFrameValue = 0, mediaFrameCount2 = 0;

  // ---- PostScript ----
  std::int32_t psPaperWidth = 595, psPaperHeight = 842;
  std::uint8_t psCompression = 1;
  std::string psTitle = "No Title";

  // ---- PDF ----
  std::int32_t pdfPaperWidth = 595, pdfPaperHeight = 842;  // points
  std::uint8_t pdfCompression = 2;  // 0 none, 1 run-length, 2 G4, 3 G3 2-D, 4 JPEG, 5 LZW
  std::string pdfTitle, pdfAuthor, pdfSubject, pdfKeywords, pdfCreator, pdfProducer;

  // ---- camera raw decoder options ----
  bool rawHalfSize = false;
  double rawGamma = 0.6, rawBright = 1.0, rawRedScale = 1.0, rawBlueScale = 1.0;
  bool rawQuickInterpolate = true, rawUseAutoWB = false, rawUseCameraWB = false, rawFourColorRGB = false;
  std::string rawExtraParams;
  bool rawGetExifThumbnail = false;  // use the embedded preview (set for small thumbnails)

  // ---- raw pixel-data reader options ----
  bool bmpRawHeaderless = false, bmpRawSampleOrder = false, bmpRawPlanar = false;
  std::int32_t bmpRawRowAlign = 8;
  std::int32_t bmpRawDataOffset = 0;

  // ---- layered-image reader ----
  bool psdLoadLayers = false, psdReplaceLayers = true;

  // ---- remaining ----
  std::string xmpPacket;
  bool nativePixelFormat = false;
  std::vector<TVlRGB> colorMap;  // palette read from the file (colorMapCount entries)
  std::int32_t colorMapCount = 0;
  std::array<std::array<std::int32_t, 2>, 16> icoSizes{};
  std::array<std::int32_t, 16> icoBitCounts{};

};

class TIOParamsVals : public TIOParamsFields {
 public:
  explicit TIOParamsVals(TVlIO* owner = nullptr);
  ~TIOParamsVals();
  TIOParamsVals(const TIOParamsVals& other);  // CopyParams, without the owner
  TIOParamsVals& operator=(const TIOParamsVals& other);

  void ResetParams();
  void ClearReadInfo();
  void ClearExif();
  void CopyParams(const TIOParamsVals& source);
  void CopyWriteOptions(const TIOParamsVals& source);

  // ---- setters with side effects ----
  void SetImageIndex(std::int32_t v);
  void SetImageCount(std::int32_t v);
  void SetThumbnailHint(bool v);
  void SetTiffOrientation(std::int32_t v);
  void SetDpiX(std::int32_t v);
  void SetDpiY(std::int32_t v);
  void SetExifXResolution(double v);
  void SetExifYResolution(double v);

  // Told of every resolution change (the attached view's resolution); may be empty.
  std::function<void(std::int32_t dpiX, std::int32_t dpiY)> onResolutionChange;
  // Gives the owner's current image size at reset; may be empty.
  std::function<void(std::int32_t& width, std::int32_t& height)> ownerImageSize;

  // ---- objects created on first request ----
  TVlBlob& inputProfile();
  TVlBlob& defaultProfile();
  TVlBlob& outputProfile();
  TVlBlob& imagingAnnotations();
  bool HasInputProfile() const { return inputProfile_ != nullptr; }
  bool HasDefaultProfile() const { return defaultProfile_ != nullptr; }
  bool HasOutputProfile() const { return outputProfile_ != nullptr; }
  bool HasImagingAnnotations() const { return annotations_ != nullptr; }
  void FreeInputProfile() { inputProfile_.reset(); }
  void FreeImagingAnnotations() { annotations_.reset(); }

  TVlIO* ownerIO = nullptr;
  std::unique_ptr<TVlBitmap> exifThumbnail;

 private:
  std::unique_ptr<TVlBlob> inputProfile_, defaultProfile_, outputProfile_, annotations_;
};

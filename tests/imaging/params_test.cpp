#include "imaging/params.h"

#include <gtest/gtest.h>

TEST(Params, Defaults) {
  TIOParamsVals p;
  EXPECT_EQ(p.width, 0);
  EXPECT_EQ(p.height, 0);
  EXPECT_EQ(p.dpiX, 300);
  EXPECT_EQ(p.dpiY, 300);
  EXPECT_EQ(p.bitsPerSample, 8);
  EXPECT_EQ(p.samplesPerPixel, 3);
  EXPECT_EQ(p.tiffPageNumber, -1);
  EXPECT_EQ(p.tiffSubIndex, -1);
  EXPECT_EQ(p.pdfPaperWidth, 595);
  EXPECT_EQ(p.pdfPaperHeight, 842);
  EXPECT_EQ(p.pdfCompression, 2);
  EXPECT_EQ(p.psTitle, "No Title");
  EXPECT_EQ(p.gifVersion, "GIF89a");
  EXPECT_EQ(p.exifXResolution, 300.0);
  EXPECT_EQ(p.icoSizes[0][0], 64);
  EXPECT_EQ(p.icoBitCounts[0], 8);
  EXPECT_EQ(p.icoBitCounts[1], 0);
  EXPECT_EQ(p.curBackgroundColor, (TVlRGB{255, 255, 255}));
  EXPECT_GT(p.tgaDate, 40000.0);  // a date after 2009
}

TEST(Params, ResetTakesTheOwnersImageSize) {
  TIOParamsVals p;
  p.ownerImageSize = [](std::int32_t& w, std::int32_t& h) { w = 640, h = 480; };
  p.ResetParams();
  EXPECT_EQ(p.width, 640);
  EXPECT_EQ(p.height, 480);
}

TEST(Params, SettersWithSideEffects) {
  TIOParamsVals p;
  p.SetImageIndex(3);
  EXPECT_EQ(p.tiffImageIndex, 3);
  EXPECT_EQ(p.gifImageIndex, 3);
  EXPECT_EQ(p.dcxImageIndex, 3);
  EXPECT_EQ(p.icoImageIndex, 3);
  EXPECT_EQ(p.curImageIndex, 3);
  p.SetImageCount(7);
  EXPECT_EQ(p.tiffImageCount, 7);
  EXPECT_EQ(p.gifImageCount, 7);
  p.SetThumbnailHint(true);
  EXPECT_TRUE(p.jpegThumbnailHint);
  p.SetTiffOrientation(6);
  EXPECT_EQ(p.exifOrientation, 6);

  int told = 0;
  p.onResolutionChange = [&](std::int32_t, std::int32_t) { ++told; };
  p.SetExifXResolution(299.7);
  EXPECT_EQ(p.dpiX, 299);
  EXPECT_DOUBLE_EQ(p.exifXResolution, 299.7);
  p.SetDpiY(150);
  EXPECT_DOUBLE_EQ(p.exifYResolution, 150.0);
  EXPECT_EQ(told, 2);
}

TEST(Params, ClearExifAndReadInfo) {
  TIOParamsVals p;
  p.hasExif = true;
  p.exifMake = "Cam";
  p.exifDigitalZoomRatio = 2;
  p.exifExposureMode = 1;
  p.gpsLatitude = {1, 2, 3};
  p.exifThumbnail = std::make_unique<TVlBitmap>(2, 2, vl8g);
  p.jpegMarkers.push_back({0xE1, {'h', 't', 't', 'p'}});
  p.jpegMarkers.push_back({0xE1, {'E', 'x', 'i', 'f', 0, 0}});
  p.jpegMarkers.push_back({0xE1, {'E', 'x', 'i', 'f', 0, 1}});
  p.ClearExif();
  EXPECT_FALSE(p.hasExif);
  EXPECT_TRUE(p.exifMake.empty());
  EXPECT_EQ(p.exifDigitalZoomRatio, -1.0);
  EXPECT_EQ(p.exifExposureMode, -1);
  EXPECT_EQ(p.gpsLatitude[2], 0.0);
  EXPECT_EQ(p.exifThumbnail, nullptr);
  ASSERT_EQ(p.jpegMarkers.size(), 2u);  // only the first EXIF block goes
  EXPECT_EQ(p.jpegMarkers[1].data[5], 1);

  p.tiffPageName = "x";
  p.xmpPacket = "<x/>";
  p.gifComments = {"c"};
  p.inputProfile().data = {1};
  p.ClearReadInfo();
  EXPECT_TRUE(p.tiffPageName.empty());
  EXPECT_TRUE(p.xmpPacket.empty());
  EXPECT_TRUE(p.gifComments.empty());
  EXPECT_TRUE(p.jpegMarkers.empty());
  EXPECT_FALSE(p.HasInputProfile());
}

TEST(Params, CopyParamsAndWriteOptions) {
  TIOParamsVals a, b;
  a.width = 10;
  a.tiffCompression = 4;
  a.pdfTitle = "标题";
  a.colorMap = {{1, 2, 3}};
  a.colorMapCount = 1;
  a.imagingAnnotations().data = {5};
  b.exifThumbnail = std::make_unique<TVlBitmap>(3, 3, vl8g);
  b.outputProfile().data = {9};
  b.CopyParams(a);
  EXPECT_EQ(b.width, 10);
  EXPECT_EQ(b.pdfTitle, "标题");
  EXPECT_EQ(b.colorMap.size(), 1u);
  EXPECT_TRUE(b.HasImagingAnnotations());
  EXPECT_FALSE(b.HasOutputProfile());         // absent in the source: freed
  ASSERT_NE(b.exifThumbnail, nullptr);        // absent in the source: kept
  EXPECT_EQ(b.exifThumbnail->Width(), 3);

  TIOParamsVals c;
  c.width = 99;
  c.tiffJpegQuality = 5;
  c.pngFilter = 2;
  TIOParamsVals d;
  d.CopyWriteOptions(c);
  EXPECT_EQ(d.tiffJpegQuality, 5);
  EXPECT_EQ(d.pngFilter, 2);
  EXPECT_EQ(d.width, 0);  // not a write option
}

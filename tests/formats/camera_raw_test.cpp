// Camera raw through LibRaw, on synthetic DNG files built here (the public corpus holds no raw
// files): identification, development, options, the embedded preview and hostile data.
#include "imaging/formats/camera_raw.h"

#include "formats/dng_builder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace {

struct Decoded {
  TVlStatus status;
  TVlBitmap image;
  TIOParamsVals params;
  std::vector<std::uint8_t> jpeg;
  bool aborted = false;
};

void Decode(const std::vector<std::uint8_t>& bytes, Decoded& d, bool paramsOnly = false) {
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  std::atomic<bool> abort{false};
  ProgressRecord pr;
  pr.abortFlag = &abort;
  d.status = ReadCameraRaw(s, paramsOnly ? nullptr : &d.image, d.params, pr, paramsOnly, &d.jpeg);
  d.aborted = abort;
}

}  // namespace

TEST(CameraRaw, SyntheticDngIsIdentifiedAndDeveloped) {
  DngBuilder b;
  const auto bytes = b.Build();
  TVlMemoryStream s(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  EXPECT_TRUE(IdentifyCameraRaw(s));
  EXPECT_EQ(s.Position(), 0);

  Decoded info;
  Decode(bytes, info, true);
  ASSERT_TRUE(info.status.ok()) << DescribeStatus(info.status);
  EXPECT_EQ(info.params.width, 64);
  EXPECT_EQ(info.params.height, 48);
  EXPECT_EQ(info.params.exifMake, "Vellumo");
  EXPECT_EQ(info.params.dpiX, 0);
  EXPECT_TRUE(info.image.IsEmpty());

  Decoded d;
  Decode(bytes, d);
  ASSERT_TRUE(d.status.ok()) << DescribeStatus(d.status);
  EXPECT_EQ(d.image.PixelFormat(), vl24RGB);
  EXPECT_EQ(d.image.Width(), 64);
  EXPECT_EQ(d.image.Height(), 48);
  // A flat gray sensor gives a flat picture.
  const TVlRGB c = d.image.PixelAsRGB(32, 24), e = d.image.PixelAsRGB(10, 40);
  EXPECT_EQ(c, e);
  EXPECT_GT(c.g, 0);
}

TEST(CameraRaw, OptionsMapToTheDecoder) {
  DngBuilder b;
  const auto bytes = b.Build();
  Decoded half;
  half.params.rawHalfSize = true;
  Decode(bytes, half);
  ASSERT_TRUE(half.status.ok());
  EXPECT_EQ(half.image.Width(), 32);
  EXPECT_EQ(half.image.Height(), 24);
  Decoded extra;
  extra.params.rawExtraParams = "-h -bogus -q x";
  Decode(bytes, extra);
  ASSERT_TRUE(extra.status.ok());
  EXPECT_EQ(extra.image.Width(), 32);
  // Brightness and gamma change the developed values.
  Decoded bright, dark;
  bright.params.rawBright = 2.0;
  dark.params.rawBright = 0.5;
  Decode(bytes, bright);
  Decode(bytes, dark);
  ASSERT_TRUE(bright.status.ok() && dark.status.ok());
  EXPECT_GT(bright.image.PixelAsRGB(5, 5).g, dark.image.PixelAsRGB(5, 5).g);
  Decoded deep;
  deep.params.nativePixelFormat = true;
  deep.params.rawExtraParams = "-4";
  Decode(bytes, deep);
  ASSERT_TRUE(deep.status.ok());
  EXPECT_EQ(deep.image.PixelFormat(), vlRGB48);
  EXPECT_EQ(deep.params.bitsPerSample, 16);
}

TEST(CameraRaw, EmbeddedPreviewForThumbnails) {
  DngBuilder b;
  b.withPreview = true;
  const auto bytes = b.Build();
  Decoded full;
  Decode(bytes, full);
  ASSERT_TRUE(full.status.ok()) << DescribeStatus(full.status);
  EXPECT_EQ(full.image.Width(), 64);
  Decoded thumb;
  thumb.params.rawGetExifThumbnail = true;
  Decode(bytes, thumb);
  ASSERT_TRUE(thumb.status.ok());
  EXPECT_EQ(thumb.image.Width(), 16);
  EXPECT_EQ(thumb.image.Height(), 12);
  EXPECT_EQ(thumb.image.PixelAsRGB(3, 3), (TVlRGB{50, 100, 200}));
  EXPECT_FALSE(thumb.params.rawGetExifThumbnail);  // cleared when used
}

TEST(CameraRaw, HostileDataFailsCleanly) {
  DngBuilder b;
  const auto good = b.Build();
  for (std::size_t k : {std::size_t(0), std::size_t(8), std::size_t(100), good.size() / 2, good.size() - 200}) {
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(k));
    Decoded d;
    Decode(cut, d);
    if (!d.status.ok()) {
      EXPECT_TRUE(d.aborted) << k;
    }
  }
  std::vector<std::uint8_t> text(300, 'a');
  Decoded t;
  Decode(text, t);
  EXPECT_FALSE(t.status.ok());
  TVlMemoryStream s(text.data(), 300);
  EXPECT_FALSE(IdentifyCameraRaw(s));
  // Claimed size far beyond the data.
  DngBuilder huge;
  auto bytes = huge.Build();
  for (std::size_t i = 10; i + 12 < bytes.size(); ++i)
    if (bytes[i] == 0x00 && bytes[i + 1] == 0x01 && bytes[i + 2] == 4 && bytes[i + 4] == 1) {  // tag 256
      bytes[i + 8] = 0x00, bytes[i + 9] = 0x00, bytes[i + 10] = 0x01, bytes[i + 11] = 0x00;  // 65536
      break;
    }
  Decoded h;
  Decode(bytes, h);
  EXPECT_FALSE(h.status.ok());
}

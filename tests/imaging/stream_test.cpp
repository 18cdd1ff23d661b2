#include "imaging/stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>

#include "imaging/bytereader.h"

namespace fs = std::filesystem;

TEST(MemoryStream, ReadsWritesAndSeeksPastEnd) {
  TVlMemoryStream s;
  EXPECT_TRUE(s.WriteU32LE(0x04030201));
  EXPECT_TRUE(s.Seek(8));
  EXPECT_TRUE(s.WriteByte(9));
  EXPECT_EQ(s.Size(), 9);
  std::uint8_t buf[16] = {};
  ASSERT_TRUE(s.Seek(0));
  EXPECT_EQ(s.Read(buf, 16), 9);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(buf[5], 0);  // the gap reads as zero
  EXPECT_EQ(buf[8], 9);
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_FALSE(s.Seek(-1));
}

TEST(MemoryStream, ViewIsReadOnly) {
  const std::uint8_t data[] = {1, 2, 3};
  TVlMemoryStream s(data, 3);
  EXPECT_EQ(s.Write(data, 1), 0);
  std::uint8_t b[3];
  EXPECT_TRUE(s.ReadAt(1, b, 2));
  EXPECT_EQ(b[1], 3);
  EXPECT_FALSE(s.ReadAt(2, b, 2));
}

TEST(FileStream, BufferedReadWriteRoundTrip) {
  fs::path p = fs::temp_directory_path() / "vl_stream_test.bin";
  std::vector<std::uint8_t> data(300000);
  std::iota(data.begin(), data.end(), 0);
  {
    TVlFileStream s(p, TVlFileStream::Mode::create);
    // Mixed small and large writes, then an overwrite in the middle.
    EXPECT_TRUE(s.WriteAll(data.data(), 10));
    EXPECT_TRUE(s.WriteAll(data.data() + 10, 200000));
    EXPECT_TRUE(s.WriteAll(data.data() + 200010, data.size() - 200010));
    EXPECT_TRUE(s.Seek(5));
    EXPECT_TRUE(s.WriteByte(0xEE));
    std::uint8_t b[4];
    EXPECT_TRUE(s.ReadAt(3, b, 4));  // reading sees the pending write
    EXPECT_EQ(b[2], 0xEE);
  }
  data[5] = 0xEE;
  TVlFileStream r(p, TVlFileStream::Mode::read);
  EXPECT_EQ(r.Size(), static_cast<std::int64_t>(data.size()));
  std::vector<std::uint8_t> back(data.size());
  EXPECT_TRUE(r.ReadExact(back.data(), 7));
  EXPECT_TRUE(r.ReadExact(back.data() + 7, back.size() - 7));
  EXPECT_EQ(back, data);
  EXPECT_EQ(r.Write(data.data(), 1), 0);
  fs::remove(p);
}

TEST(FileStream, OpenFailureThrowsNamingTheFile) {
  try {
    TVlFileStream s("/nonexistent/dir/x.tif", TVlFileStream::Mode::read);
    FAIL();
  } catch (const TVlFileError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/x.tif"), std::string::npos);
  }
}

TEST(FileStream, TemporaryFileHasNoName) {
  std::unique_ptr<TVlFileStream> t(TVlFileStream::CreateTemporary());
  EXPECT_TRUE(t->WriteString("abc"));
  std::uint8_t b[3];
  EXPECT_TRUE(t->ReadAt(0, b, 3));
  EXPECT_EQ(b[2], 'c');
}

TEST(ByteReader, ShortReadIsSticky) {
  const std::uint8_t d[] = {0x12, 0x34, 0x56};
  TVlByteReader r(d, 3);
  EXPECT_EQ(r.U16BE(), 0x1234);
  EXPECT_FALSE(r.ShortRead());
  EXPECT_EQ(r.U16LE(), 0x0056);
  EXPECT_TRUE(r.ShortRead());
}

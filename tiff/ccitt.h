// CCITT Group 3 and Group 4 fax coding of bilevel rows (ITU-T T.4 and T.6), as TIFF
// compressions 2 (Modified Huffman, every row byte-aligned), 3 (T.4, one- or two-dimensional)
// and 4 (T.6).
//
//   DecodeMHRow          one one-dimensional row at a bit position            (compression 3, 1-D)
//   DecodeMHRowAligned   one one-dimensional row from bit 0, bytes consumed   (compression 2)
//   Decode2DRow          one two-dimensional row against a reference row      (compression 3 2-D, 4)
//   WriteMHRow           one row, padded to a byte                            (compression 2)
//   WriteT4Row           one row, EOL first; no row ends the strip            (compression 3)
//   WriteT6Row           one row; no row ends the strip with EOFB             (compression 4)
//   EncodeMHRow, Encode2DRow, TFaxBitWriter   the row coders beneath the writers
//
// Pixel convention. Decoders deliver 1 bits for white and 0 bits for black (the vl1g layout),
// and their reference rows use the same polarity (all white = 0xFF bytes at the start of a
// strip). Writers take rows with 0 bits for white and 1 bits for black, and their reference
// rows use that polarity. Rows are packed most significant bit first, ceil(width / 8) bytes;
// bits past the width are ignored. Reference rows are ceil(width / 32) * 4 bytes.
//
// Fill order. TIFF FillOrder 1 takes the bits of each byte from the most significant bit down,
// FillOrder 2 from the least significant bit up; any value other than 2 means 1. The bit
// position handed from row to row counts bits in transmission order (byte * 8 + bit).
//
// Method. Decoding reads a 64-bit window (at least 57 valid bits) at the bit position for each
// code; near the end of the data the missing bytes read as zero bits and no byte past the data
// is touched. Run codes go through two-level lookup tables, mode codes through a 7-bit table
// (tiff/ccitt_tables.h). Both decoders work on lists of changing elements: the reference row's
// changes are gathered 64 pixels at a time, the coding line is decoded into its own change list
// (a0, a1, a2 on the coding line, b1, b2 on the reference line as in T.4 4.2), and the row is
// painted from that list 64 pixels at a time. The encoders gather both rows' changes the same
// way and emit codes through a 64-bit bit accumulator.
//
// Zero-length runs. Some coders emit horizontal codes with empty runs and count the changes they
// make on the next row's reference line, which a bitmap cannot show. The two-dimensional
// decoder therefore remembers (per thread) the change list of the row it decoded last, and uses
// it as the reference line when the next call continues the same strip at the bit position it
// returned, with the same reference buffer still holding that row; any other call reads the
// reference line from the buffer's pixels. The result matches libtiff on such pages.
//
// EOL, fill and resynchronisation.
// - One-dimensional rows skip EOLs (with any number of fill zeros before them) met before the
//   first run of the row; an EOL after the first run ends the row (the rest black when the
//   current colour is black). The patterns 000000001, 0000000001 and 00000000001 are skipped;
//   where no code matches, decoding moves on one bit and tries again. The end of the data ends
//   the row as an EOL does.
// - Two-dimensional rows: an EOL as the first code is followed by a tag bit, 1 = the row is coded
//   one-dimensionally, 0 = two-dimensionally. An EOL later in the row ends the row and is left
//   for the next row. In EOL mode (T.4 two-dimensional always; T.6 when asked) zero bits where
//   no mode code matches are taken as fill before an EOL. Without EOL mode a bit pattern that is
//   no mode code ends the strip: the bit position moves to the end of the data, so the row's
//   rest and every further row of the strip stay white.
// - Corrupt vertical and pass codes are bounded: a1 and b2 never pass the width, and an a1 left
//   of a0 ends the row (rest white). Data ending inside a two-dimensional row leaves the rest
//   white. Uncompressed-mode (extension) pixels are drawn.
//
// Byte alignment. Compression 2 starts every row on a byte (DecodeMHRowAligned returns the
// whole bytes used). EOL byte alignment (T4Options bit 2) needs nothing: fill zeros before an
// EOL are skipped wherever they stand.
//
// Writers. A row writer codes into a row buffer and writes the whole bytes to the stream; the
// 0..7 bits left over are carried by the caller (carriedBits, carriedByte in fill-order form)
// into the next row of the strip. A short write sets the abort flag and returns ioError.
// Compression 3 writes an EOL before every row, one- and two-dimensional alike (readers need
// it); two-dimensional rows add the tag bit, the first row of a strip is coded one-dimensionally
// (an empty reference row vector marks it). The end-of-strip call (row == nullptr) writes one
// EOL for compression 3 and EOFB (two EOLs) for compression 4, pads with zero bits to a byte,
// and releases (clears) the reference row.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/status.h"

class TVlStream;

// Rows wider than this are not coded (decoders leave them white, writers fail).
inline constexpr std::int32_t kFaxMaxWidth = 1 << 20;

// One-dimensional row at bitPos (clamped to 0); returns the bit position after the row.
// `row` receives ceil(width / 8) bytes. A width below 1 or above kFaxMaxWidth leaves the row
// untouched and returns bitPos.
std::int64_t DecodeMHRow(std::uint8_t* row, const std::uint8_t* data, std::size_t length, int fillOrder,
                         std::int64_t bitPos, std::int32_t width);

// Compression 2: one one-dimensional row starting at bit 0 of data; returns the bytes it used
// (its bits rounded up to whole bytes, never more than length).
std::size_t DecodeMHRowAligned(std::uint8_t* row, const std::uint8_t* data, std::int32_t width, int fillOrder,
                               std::size_t length);

// Two-dimensional row at bitPos against referenceRow (1 bits = white, ceil(width / 32) * 4
// bytes, all white for the first row of a strip); returns the bit position after the row and
// copies the decoded row into referenceRow.
std::int64_t Decode2DRow(std::uint8_t* row, const std::uint8_t* data, std::size_t length, bool eolMode, int fillOrder,
                         std::int64_t bitPos, std::uint8_t* referenceRow, std::int32_t width);

// Compression 2: the row (1 bits = black) coded one-dimensionally, padded with zero bits to a
// byte and written. Nothing is carried.
TVlStatus WriteMHRow(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag);

// Compression 3: EOL, [tag bit,] the row; or, with row == nullptr, the end of the strip.
// referenceRow, carriedBits and carriedByte belong to the caller and start empty, 0, 0 for
// every strip (the end-of-strip call resets them).
TVlStatus WriteT4Row(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag, bool twoDimensional, std::vector<std::uint8_t>& referenceRow,
                     int& carriedBits, std::uint8_t& carriedByte);

// Compression 4: the row coded two-dimensionally against the reference row (all white for the
// first row of a strip); or, with row == nullptr, EOFB and the end of the strip.
TVlStatus WriteT6Row(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag, std::vector<std::uint8_t>& referenceRow, int& carriedBits,
                     std::uint8_t& carriedByte);

// Bits appended most significant first into a growable byte buffer (fill order 1 form).
class TFaxBitWriter {
 public:
  // Starts with `bits` (0..7) pending bits held in the high end of `byte`.
  explicit TFaxBitWriter(int bits = 0, std::uint8_t byte = 0);
  // Drops everything and starts again as the constructor does (the buffer is kept).
  void Reset(int bits = 0, std::uint8_t byte = 0);

  // Appends the low `count` bits of `code` (count 0..32), first bit the highest.
  void Put(std::uint32_t code, int count) {
    acc_ = (acc_ << count) | code;
    accBits_ += count;
    if (accBits_ >= 32)
      Spill();
  }
  void PutEOL() { Put(0b000000000001, 12); }
  // Zero bits up to the next byte boundary.
  void PadToByte();

  // Whole bytes so far (the pending bits are not among them).
  const std::uint8_t* Bytes() {
    Settle();
    return buf_.data();
  }
  std::uint8_t* MutableBytes() {
    Settle();
    return buf_.data();
  }
  std::size_t ByteCount() {
    Settle();
    return n_;
  }
  // Pending bits (0..7) and their byte, high bits first.
  int PendingBits();
  std::uint8_t PendingByte();
  // Drops the whole bytes (after they were taken), keeping the pending bits.
  void ClearBytes();
  // Bits written so far including the pending ones.
  std::int64_t BitCount() const { return std::int64_t(n_) * 8 + accBits_; }

 private:
  void Spill();
  void Settle();  // moves whole bytes from the accumulator into the buffer
  std::vector<std::uint8_t> buf_;
  std::size_t n_ = 0;
  std::uint64_t acc_ = 0;
  int accBits_ = 0;
};

// One-dimensional coding of a row (1 bits = black): runs starting with white, makeup codes for
// runs of 64 and more (2560 repeated above 2560).
void EncodeMHRow(TFaxBitWriter& out, const std::uint8_t* row, std::int32_t width);

// Two-dimensional coding of a row against a reference row (both 1 bits = black), T.4 4.2.
void Encode2DRow(TFaxBitWriter& out, const std::uint8_t* row, const std::uint8_t* referenceRow, std::int32_t width);

// Bounded readers over a memory block.
//
// TVlByteReader reads integers in either byte order; a read past the end returns 0 and sets
// `shortRead`, so parsers check once after a group of fields instead of after every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class TVlByteReader {
 public:
  TVlByteReader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

  std::size_t Position() const { return pos_; }
  std::size_t Size() const { return n_; }
  std::size_t Remaining() const { return pos_ < n_ ? n_ - pos_ : 0; }
  bool ShortRead() const { return short_; }
  bool AtEnd() const { return pos_ >= n_; }
  void Seek(std::size_t pos) {
    pos_ = pos;
    if (pos_ > n_)
      short_ = true;
  }
  void Skip(std::size_t n) { Seek(pos_ + n > pos_ ? pos_ + n : n_ + 1); }
  const std::uint8_t* Here() const { return p_ + (pos_ < n_ ? pos_ : n_); }

  std::uint8_t U8() {
    if (pos_ >= n_) {
      short_ = true;
      return 0;
    }
    return p_[pos_++];
  }
  std::uint16_t U16LE() { std::uint16_t a = U8(); return std::uint16_t(a | U8() << 8); }
  std::uint16_t U16BE() { std::uint16_t a = U8(); return std::uint16_t(a << 8 | U8()); }
  std::uint32_t U32LE() { std::uint32_t a = U16LE(); return a | std::uint32_t(U16LE()) << 16; }
  std::uint32_t U32BE() { std::uint32_t a = U16BE(); return a << 16 | U16BE(); }
  std::uint16_t U16(bool littleEndian) { return littleEndian ? U16LE() : U16BE(); }
  std::uint32_t U32(bool littleEndian) { return littleEndian ? U32LE() : U32BE(); }
  bool Bytes(void* out, std::size_t n) {
    if (Remaining() < n) {
      short_ = true;
      pos_ = n_;
      return false;
    }
    std::memcpy(out, p_ + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t pos_ = 0;
  bool short_ = false;
};

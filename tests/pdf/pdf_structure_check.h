// A strict structural check of the PDF files this program writes, for tests and fuzz targets.
//
// ParsePdfStructure reads the file from its end: startxref, the one cross-reference section
// (20-byte entries), the trailer; then every object: its "N 0 obj" line at the recorded
// offset, its "endobj" line right before the next object, and for streams a Length that
// matches the bytes between "stream" and "endstream". It only accepts the exact layout of our
// writer (no comments between objects, no free entries but object 0, one section); it is not
// a general PDF parser.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TParsedPdfObject {
  std::int64_t offset = 0;   // of the "N 0 obj" line
  std::string dictionary;    // the object's text up to "stream" (the whole text for non-streams)
  bool isStream = false;
  std::int64_t dataOffset = 0;  // first byte of stream data
  std::int64_t dataLength = 0;
};

struct TParsedPdf {
  std::int64_t size = 0;  // /Size of the trailer
  std::int64_t info = 0;  // /Info object number
  std::int64_t xref = 0;  // startxref value
  std::vector<std::int64_t> offsets;          // object 1 .. size - 1
  std::vector<TParsedPdfObject> objects;      // same order
  std::string error;

  // Stream data of object n (1-based); empty when it is not a stream.
  std::string_view StreamData(std::string_view file, std::int64_t n) const {
    if (n < 1 || n > static_cast<std::int64_t>(objects.size()) || !objects[n - 1].isStream)
      return {};
    return file.substr(static_cast<std::size_t>(objects[n - 1].dataOffset),
                       static_cast<std::size_t>(objects[n - 1].dataLength));
  }
};

namespace pdf_check_detail {
inline bool ParseDecimal(std::string_view s, std::int64_t& v) {
  if (s.empty())
    return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}
inline bool Fail(TParsedPdf& out, std::string why) {
  out.error = std::move(why);
  return false;
}
}  // namespace pdf_check_detail

inline bool ParsePdfStructure(std::string_view f, TParsedPdf& out) {
  using namespace pdf_check_detail;
  out = TParsedPdf{};
  if (f.substr(0, 15) != std::string_view("%PDF-1.4\n%\xC8\xD2\xF0\xFE\n", 15))
    return Fail(out, "header");
  const std::string_view eof = "%%EOF\n";
  if (f.size() < eof.size() || f.substr(f.size() - eof.size()) != eof)
    return Fail(out, "no %%EOF at the end");
  const std::size_t sx = f.rfind("\nstartxref\n");
  if (sx == std::string_view::npos)
    return Fail(out, "no startxref");
  const std::size_t numStart = sx + 11;
  const std::size_t numEnd = f.find('\n', numStart);
  if (numEnd == std::string_view::npos || numEnd + 1 + eof.size() != f.size() ||
      !ParseDecimal(f.substr(numStart, numEnd - numStart), out.xref))
    return Fail(out, "startxref value");
  if (out.xref < 0 || static_cast<std::size_t>(out.xref) >= f.size() ||
      f.substr(static_cast<std::size_t>(out.xref), 7) != "xref\n0 ")
    return Fail(out, "startxref does not point at xref");
  std::size_t p = static_cast<std::size_t>(out.xref) + 7;
  std::size_t nl = f.find('\n', p);
  if (nl == std::string_view::npos || !ParseDecimal(f.substr(p, nl - p), out.size) || out.size < 1)
    return Fail(out, "xref count");
  p = nl + 1;
  if (static_cast<std::int64_t>((f.size() - p) / 20) < out.size)
    return Fail(out, "xref table truncated");
  if (f.substr(p, 20) != "0000000000 65535 f \n")
    return Fail(out, "xref entry 0");
  for (std::int64_t i = 1; i < out.size; ++i) {
    std::string_view e = f.substr(p + static_cast<std::size_t>(i) * 20, 20);
    std::int64_t off = 0;
    if (e.substr(10) != " 00000 n \n" || !ParseDecimal(e.substr(0, 10), off))
      return Fail(out, "xref entry " + std::to_string(i));
    out.offsets.push_back(off);
  }
  p += static_cast<std::size_t>(out.size) * 20;
  const std::string trailer = "trailer\n<< /Size " + std::to_string(out.size) + "\n/Root 1 0 R\n/Info ";
  if (f.substr(p, trailer.size()) != trailer)
    return Fail(out, "trailer");
  p += trailer.size();
  nl = f.find(" 0 R\n>>\nstartxref\n", p);
  if (nl + 7 != sx || !ParseDecimal(f.substr(p, nl - p), out.info) || out.info < 1 || out.info >= out.size)
    return Fail(out, "trailer /Info");

  for (std::int64_t i = 1; i < out.size; ++i) {
    const std::int64_t off = out.offsets[static_cast<std::size_t>(i - 1)];
    const std::int64_t end = i + 1 < out.size ? out.offsets[static_cast<std::size_t>(i)] : out.xref;
    if (off < 15 || end <= off || end > out.xref)
      return Fail(out, "object " + std::to_string(i) + " offset out of order");
    std::string_view text = f.substr(static_cast<std::size_t>(off), static_cast<std::size_t>(end - off));
    const std::string head = std::to_string(i) + " 0 obj\n";
    if (text.substr(0, head.size()) != head)
      return Fail(out, "offset of object " + std::to_string(i) + " does not point at its obj line");
    const std::string_view tail = "\nendobj\n";
    if (text.size() < head.size() + tail.size() || text.substr(text.size() - tail.size()) != tail)
      return Fail(out, "object " + std::to_string(i) + " does not end with endobj");
    TParsedPdfObject o;
    o.offset = off;
    std::string_view body = text.substr(head.size(), text.size() - head.size() - tail.size());
    const std::size_t st = body.find("\nstream\n");
    if (st == std::string_view::npos) {
      o.dictionary = std::string(body);
    } else {
      o.isStream = true;
      o.dictionary = std::string(body.substr(0, st));
      const std::size_t lk = o.dictionary.find("/Length ");
      if (lk == std::string::npos)
        return Fail(out, "stream " + std::to_string(i) + " without Length");
      const std::size_t le = o.dictionary.find('\n', lk);
      if (le == std::string::npos || !ParseDecimal(std::string_view(o.dictionary).substr(lk + 8, le - lk - 8), o.dataLength))
        return Fail(out, "stream " + std::to_string(i) + " Length");
      o.dataOffset = off + static_cast<std::int64_t>(head.size() + st + 8);
      const std::string_view endstream = "\nendstream";
      if (static_cast<std::int64_t>(body.size()) != static_cast<std::int64_t>(st + 8) + o.dataLength +
                                                        static_cast<std::int64_t>(endstream.size()) ||
          body.substr(body.size() - endstream.size()) != endstream)
        return Fail(out, "stream " + std::to_string(i) + " Length does not match its data");
    }
    out.objects.push_back(std::move(o));
  }
  return true;
}

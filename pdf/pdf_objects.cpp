#include "pdf/pdf_objects.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "imaging/stream.h"

namespace {

constexpr TVlStatus kWriteFailed = TVlStatus::IoError("PDF output stream refused a write");

TVlStatus Put(TVlStream& s, std::string_view text) {
  if (!s.WriteAll(text.data(), static_cast<std::int64_t>(text.size())))
    return kWriteFailed;
  return TVlStatus::Ok();
}

// Text followed by one line feed.
TVlStatus WriteLine(TVlStream& s, std::string_view text) {
  VL_TRY(Put(s, text));
  return Put(s, "\n");
}

std::string Decimal(std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void FreeUnlessShared(TVlPDFObject* o) {
  if (o && !o->shared)
    delete o;
}

}  // namespace

// ---- numbers and text ----

std::string FormatPDFNumber(double value) {
  if (!std::isfinite(value) || value == 0.0)
    return "0";
  // Fifteen significant digits in scientific form: "d.dddddddddddddde[+-]x". std::to_chars
  // never consults the locale.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  bool negative = false;
  if (!sci.empty() && sci.front() == '-') {
    negative = true;
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.')
      digits.push_back(c);
  int exponent = 0;
  std::string_view exp = sci.substr(e + 1);
  if (!exp.empty() && exp.front() == '+')
    exp.remove_prefix(1);
  std::from_chars(exp.data(), exp.data() + exp.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0')
    digits.pop_back();
  if (digits == "0")  // cannot happen for a non-zero finite value, kept for safety
    return "0";

  std::string out = negative ? "-" : "";
  if (exponent >= 0) {
    const std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= intDigits) {
      out += digits;
      out.append(intDigits - digits.size(), '0');
    } else {
      out += digits.substr(0, intDigits);
      out += '.';
      out += digits.substr(intDigits);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

std::string PDFTextString(std::string_view utf8) {
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(utf8);
  std::string out = "\xFE\xFF";
  auto put16 = [&out](std::uint32_t u) {
    out.push_back(static_cast<char>(u >> 8));
    out.push_back(static_cast<char>(u & 0xFF));
  };
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t c = p[i];
    std::size_t len = 0;
    std::uint32_t minimum = 0;
    if (c < 0x80) {
      len = 1;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, c &= 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, c &= 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, c &= 0x07, minimum = 0x10000;
    }
    bool valid = len != 0 && i + len <= n;
    for (std::size_t k = 1; valid && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        valid = false;
      else
        c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
      valid = false;
    if (!valid) {  // one replacement character per offending lead byte
      put16(0xFFFD);
      ++i;
      continue;
    }
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      put16(0xD800 + (c >> 10));
      put16(0xDC00 + (c & 0x3FF));
    } else {
      put16(c);
    }
  }
  return out;
}

// ---- simple objects ----

TVlStatus TVlPDFRefObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  return Put(stream, Decimal(referencedNumber) + " " + Decimal(generation) + " R");
}

TVlStatus TVlPDFBooleanObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  return Put(stream, value ? "true" : "false");
}

TVlStatus TVlPDFNumericObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  return Put(stream, FormatPDFNumber(value));
}

std::unique_ptr<TVlPDFStringObject> TVlPDFStringObject::FromText(std::string_view utf8) {
  const bool unicode =
      std::any_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return std::make_unique<TVlPDFStringObject>(PDFTextString(utf8), unicode);
}

TVlStatus TVlPDFStringObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  std::string out;
  out.reserve(value.size() * (hex ? 2 : 1) + 2);
  if (hex) {
    out.push_back('<');
    for (unsigned char c : value) {
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 15]);
    }
    out.push_back('>');
    return Put(stream, out);
  }
  out.push_back('(');
  for (char c : value) {
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '(': out += "\\("; break;
      case ')': out += "\\)"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  out.push_back(')');
  return Put(stream, out);
}

TVlStatus TVlPDFNameObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  std::string out = "/";
  for (unsigned char c : value) {
    if (c < 0x21 || c > 0x7E) {
      out.push_back('#');
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return Put(stream, out);
}

// ---- containers ----

TVlPDFArrayObject::~TVlPDFArrayObject() {
  for (TVlPDFObject* o : items_)
    FreeUnlessShared(o);
}

TVlPDFObject* TVlPDFArrayObject::Add(TVlPDFObject* object) {
  items_.push_back(object);
  return object;
}

TVlStatus TVlPDFArrayObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  VL_TRY(Put(stream, "["));
  for (TVlPDFObject* o : items_) {
    VL_TRY(o->WriteTo(stream));
    VL_TRY(Put(stream, " "));
  }
  return Put(stream, "]");
}

TVlPDFDictionaryObject::~TVlPDFDictionaryObject() {
  for (auto& e : entries_)
    FreeUnlessShared(e.second);
}

TVlPDFObject* TVlPDFDictionaryObject::Add(std::string key, TVlPDFObject* value) {
  entries_.emplace_back(std::move(key), value);
  return value;
}

TVlPDFObject* TVlPDFDictionaryObject::Insert(std::size_t index, std::string key, TVlPDFObject* value) {
  index = std::min(index, entries_.size());
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(index), {std::move(key), value});
  return value;
}

TVlPDFObject* TVlPDFDictionaryObject::AddName(std::string key, std::string name) {
  return Add(std::move(key), new TVlPDFNameObject(std::move(name)));
}

TVlPDFObject* TVlPDFDictionaryObject::AddNumber(std::string key, double value) {
  return Add(std::move(key), new TVlPDFNumericObject(value));
}

TVlPDFObject* TVlPDFDictionaryObject::AddBoolean(std::string key, bool value) {
  return Add(std::move(key), new TVlPDFBooleanObject(value));
}

TVlPDFObject* TVlPDFDictionaryObject::AddReference(std::string key, std::int32_t objectNumber) {
  return Add(std::move(key), new TVlPDFRefObject(objectNumber));
}

TVlPDFObject* TVlPDFDictionaryObject::Find(std::string_view key) const {
  for (const auto& e : entries_)
    if (e.first == key)
      return e.second;
  return nullptr;
}

void TVlPDFDictionaryObject::Set(std::string key, TVlPDFObject* value) {
  for (auto& e : entries_) {
    if (e.first == key) {
      if (e.second != value)
        FreeUnlessShared(e.second);
      e.second = value;
      return;
    }
  }
  Add(std::move(key), value);
}

TVlStatus TVlPDFDictionaryObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  VL_TRY(Put(stream, "<< "));
  for (auto& e : entries_) {
    VL_TRY(Put(stream, "/"));
    VL_TRY(Put(stream, e.first));
    VL_TRY(Put(stream, " "));
    VL_TRY(e.second->WriteTo(stream));
    VL_TRY(Put(stream, "\n"));
  }
  return Put(stream, ">>");
}

// ---- streams ----

TVlPDFStreamObject::TVlPDFStreamObject() : dictionary_(std::make_unique<TVlPDFDictionaryObject>()) {
  dictionary_->AddNumber("Length", 0);
}

TVlPDFStreamObject::TVlPDFStreamObject(const void* data, std::int64_t length) : TVlPDFStreamObject() {
  SetData(data, length);
}

TVlPDFStreamObject::~TVlPDFStreamObject() = default;

void TVlPDFStreamObject::SetData(std::vector<std::uint8_t> data) {
  data_ = std::move(data);
  spool_.reset();
  spoolOffset_ = spoolLength_ = 0;
}

void TVlPDFStreamObject::SetData(const void* data, std::int64_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  SetData(length > 0 ? std::vector<std::uint8_t>(p, p + length) : std::vector<std::uint8_t>{});
}

void TVlPDFStreamObject::SetSpooledData(std::shared_ptr<TVlStream> spool, std::int64_t offset, std::int64_t length) {
  data_.clear();
  data_.shrink_to_fit();
  spool_ = std::move(spool);
  spoolOffset_ = std::max<std::int64_t>(offset, 0);
  spoolLength_ = std::max<std::int64_t>(length, 0);
}

std::int64_t TVlPDFStreamObject::DataLength() const {
  return spool_ ? spoolLength_ : static_cast<std::int64_t>(data_.size());
}

TVlStatus TVlPDFStreamObject::WriteTo(TVlStream& stream) {
  fileOffset = stream.Position();
  dictionary_->Set("Length", new TVlPDFNumericObject(static_cast<double>(DataLength())));
  VL_TRY(dictionary_->WriteTo(stream));
  VL_TRY(Put(stream, "\nstream\n"));
  if (spool_) {
    if (!spool_->Seek(spoolOffset_))
      return TVlStatus::IoError("PDF spool file cannot be read");
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::int64_t>(spoolLength_, 256 * 1024)));
    std::int64_t left = spoolLength_;
    while (left > 0) {
      const std::int64_t n = std::min<std::int64_t>(left, static_cast<std::int64_t>(chunk.size()));
      if (!spool_->ReadExact(chunk.data(), n))
        return TVlStatus::IoError("PDF spool file cannot be read");
      if (!stream.WriteAll(chunk.data(), n))
        return kWriteFailed;
      left -= n;
    }
  } else if (!data_.empty() && !stream.WriteAll(data_.data(), static_cast<std::int64_t>(data_.size()))) {
    return kWriteFailed;
  }
  return Put(stream, "\nendstream");
}

// ---- document skeleton ----

void AddIndirectObject(TVlPDFObjectList& list, TVlPDFObject* object) {
  list.push_back(object);
  object->objectNumber = static_cast<std::int32_t>(list.size());
}

std::unique_ptr<TVlPDFDictionaryObject> MakeCatalog(TVlPDFObjectList& list) {
  auto catalog = std::make_unique<TVlPDFDictionaryObject>();
  catalog->AddName("Type", "Catalog");
  AddIndirectObject(list, catalog.get());
  return catalog;
}

std::unique_ptr<TVlPDFDictionaryObject> MakePage(TVlPDFObjectList& list, std::vector<TVlPDFDictionaryObject*>& pages,
                                                 const TVlPDFDictionaryObject* resources,
                                                 std::int32_t contentsNumber,
                                                 std::unique_ptr<TVlPDFArrayObject> mediaBox) {
  auto page = std::make_unique<TVlPDFDictionaryObject>();
  page->AddName("Type", "Page");
  if (resources && resources->objectNumber > 0)
    page->AddReference("Resources", resources->objectNumber);
  page->Add("MediaBox", mediaBox ? std::move(mediaBox) : std::make_unique<TVlPDFArrayObject>());
  page->AddReference("Contents", contentsNumber);
  AddIndirectObject(list, page.get());
  pages.push_back(page.get());
  return page;
}

std::unique_ptr<TVlPDFDictionaryObject> MakePagesNode(TVlPDFObjectList& list,
                                                      const std::vector<TVlPDFDictionaryObject*>& pages) {
  auto root = std::make_unique<TVlPDFDictionaryObject>();
  root->AddName("Type", "Pages");
  auto* kids = root->Add("Kids", std::make_unique<TVlPDFArrayObject>());
  for (TVlPDFDictionaryObject* p : pages)
    kids->Add(new TVlPDFRefObject(p->objectNumber));
  root->AddNumber("Count", static_cast<double>(pages.size()));
  AddIndirectObject(list, root.get());
  for (TVlPDFDictionaryObject* p : pages)
    p->AddReference("Parent", root->objectNumber);
  if (!list.empty())
    if (auto* catalog = dynamic_cast<TVlPDFDictionaryObject*>(list.front()))
      catalog->AddReference("Pages", root->objectNumber);
  return root;
}

// ---- file ----

TVlStatus WritePDFHeader(TVlStream& stream) {
  VL_TRY(WriteLine(stream, "%PDF-1.4"));
  return WriteLine(stream, "%\xC8\xD2\xF0\xFE");
}

TVlStatus WriteIndirectObjects(TVlStream& stream, const TVlPDFObjectList& list) {
  for (TVlPDFObject* o : list) {
    const std::int64_t start = stream.Position();
    VL_TRY(WriteLine(stream, Decimal(o->objectNumber) + " 0 obj"));
    VL_TRY(o->WriteTo(stream));
    VL_TRY(Put(stream, "\n"));
    VL_TRY(WriteLine(stream, "endobj"));
    o->fileOffset = start;
  }
  return TVlStatus::Ok();
}

TVlStatus WriteXrefAndTrailer(TVlStream& stream, const TVlPDFObjectList& list, const TVlPDFObject& info) {
  constexpr std::int64_t kMaxXrefOffset = 9'999'999'999;  // ten decimal digits
  for (const TVlPDFObject* o : list)
    if (o->fileOffset < 0 || o->fileOffset > kMaxXrefOffset)
      return TVlStatus::LimitExceeded("PDF object offset beyond ten cross-reference digits");
  const std::int64_t xref = stream.Position();
  const std::string size = Decimal(static_cast<std::int64_t>(list.size()) + 1);
  std::string out;
  out.reserve(64 + list.size() * 20);
  out += "xref\n0 " + size + "\n";
  out += "0000000000 65535 f \n";
  for (const TVlPDFObject* o : list) {
    char entry[21];
    std::string digits = Decimal(o->fileOffset);
    std::memset(entry, '0', 10);
    std::memcpy(entry + 10 - digits.size(), digits.data(), digits.size());
    std::memcpy(entry + 10, " 00000 n \n", 10);
    out.append(entry, 20);
  }
  out += "trailer\n<< /Size " + size + "\n/Root 1 0 R\n/Info " + Decimal(info.objectNumber) + " 0 R\n>>\n";
  out += "startxref\n" + Decimal(xref) + "\n%%EOF\n";
  return Put(stream, out);
}

// A write-only model of PDF 1.4 objects and the routines that write a whole file from it.
//
//   TVlPDFObject and its kinds   reference, boolean, number, string, name, array, dictionary,
//                                stream; each writes its own syntax with WriteTo
//   AddIndirectObject            numbers an object 1, 2, 3 ... in the order it joins the list
//   MakeCatalog, MakePage, MakePagesNode   the document skeleton
//   WritePDFHeader, WriteIndirectObjects, WriteXrefAndTrailer   the file, in one forward pass
//   FormatPDFNumber, PDFTextString          number and text helpers
//
// The model is built, written once and freed; it is never read back. Stream data arrive
// already encoded, with their filter entries set by the caller. Only line feeds end lines.
// Byte offsets are 64-bit; a cross-reference entry has ten digits, so an object that starts at
// or beyond 10^10 bytes is refused with limitExceeded instead of being written wrongly.
//
// Ownership: an array or dictionary frees each element whose `shared` flag is false when it
// is freed; shared elements belong to someone else. An object list (TVlPDFObjectList) only
// numbers and points at its objects; their owners free them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/status.h"

class TVlStream;
class TVlFileStream;

class TVlPDFObject {
 public:
  virtual ~TVlPDFObject() = default;
  // Records the stream position in `fileOffset`, then writes the object's PDF syntax there.
  // ioError when the stream refuses a write.
  virtual TVlStatus WriteTo(TVlStream& stream) = 0;

  std::int32_t objectNumber = 0;  // 0 until the object is made indirect
  std::int64_t fileOffset = 0;    // start of the object's text (for indirect objects: its "obj" line)
  bool shared = false;            // owned elsewhere: containers do not free it
};

class TVlPDFRefObject final : public TVlPDFObject {
 public:
  explicit TVlPDFRefObject(std::int32_t number, std::int32_t generation = 0)
      : referencedNumber(number), generation(generation) {}
  TVlStatus WriteTo(TVlStream& stream) override;  // "5 0 R"
  std::int32_t referencedNumber;
  std::int32_t generation;
};

class TVlPDFBooleanObject final : public TVlPDFObject {
 public:
  explicit TVlPDFBooleanObject(bool v) : value(v) {}
  TVlStatus WriteTo(TVlStream& stream) override;  // "true" / "false"
  bool value;
};

class TVlPDFNumericObject final : public TVlPDFObject {
 public:
  explicit TVlPDFNumericObject(double v) : value(v) {}
  TVlStatus WriteTo(TVlStream& stream) override;  // FormatPDFNumber(value)
  double value;
};

// A string of bytes, written as a literal "( ... )" with the PDF escapes, or, when `hex` is
// set, as a hexadecimal string "<...>" (upper-case digits).
class TVlPDFStringObject final : public TVlPDFObject {
 public:
  explicit TVlPDFStringObject(std::string bytes, bool hex = false) : value(std::move(bytes)), hex(hex) {}
  // A text string for the document information: ASCII text is kept as it is and written as a
  // literal; any other UTF-8 text becomes UTF-16BE with the byte-order mark FE FF, written in
  // hexadecimal (see PDFTextString).
  static std::unique_ptr<TVlPDFStringObject> FromText(std::string_view utf8);
  TVlStatus WriteTo(TVlStream& stream) override;
  std::string value;
  bool hex;
};

class TVlPDFNameObject final : public TVlPDFObject {
 public:
  explicit TVlPDFNameObject(std::string name) : value(std::move(name)) {}
  // "/" and the name; bytes outside 0x21..0x7E as "#" and two upper-case hex digits.
  TVlStatus WriteTo(TVlStream& stream) override;
  std::string value;  // without the leading solidus
};

class TVlPDFArrayObject final : public TVlPDFObject {
 public:
  TVlPDFArrayObject() = default;
  ~TVlPDFArrayObject() override;
  TVlPDFArrayObject(const TVlPDFArrayObject&) = delete;
  TVlPDFArrayObject& operator=(const TVlPDFArrayObject&) = delete;
  // "[", each element followed by one space, "]".
  TVlStatus WriteTo(TVlStream& stream) override;
  // Takes ownership unless the object is shared. Returns the object.
  TVlPDFObject* Add(TVlPDFObject* object);
  template <class T>
  T* Add(std::unique_ptr<T> object) {
    T* p = object.release();
    Add(static_cast<TVlPDFObject*>(p));
    return p;
  }
  std::size_t Count() const { return items_.size(); }
  TVlPDFObject* Item(std::size_t i) const { return items_[i]; }

 private:
  std::vector<TVlPDFObject*> items_;
};

class TVlPDFDictionaryObject final : public TVlPDFObject {
 public:
  TVlPDFDictionaryObject() = default;
  ~TVlPDFDictionaryObject() override;
  TVlPDFDictionaryObject(const TVlPDFDictionaryObject&) = delete;
  TVlPDFDictionaryObject& operator=(const TVlPDFDictionaryObject&) = delete;
  // "<< ", then "/" key " " value and a line feed per entry, then ">>". Keys are written as
  // they are.
  TVlStatus WriteTo(TVlStream& stream) override;

  // Appends an entry (ownership as for arrays); duplicate keys are not checked. Returns value.
  TVlPDFObject* Add(std::string key, TVlPDFObject* value);
  template <class T>
  T* Add(std::string key, std::unique_ptr<T> value) {
    T* p = value.release();
    Add(std::move(key), static_cast<TVlPDFObject*>(p));
    return p;
  }
  // Inserts an entry before position `index` (0 = first; beyond the end appends).
  TVlPDFObject* Insert(std::size_t index, std::string key, TVlPDFObject* value);
  // Shorthands for the common value kinds.
  TVlPDFObject* AddName(std::string key, std::string name);
  TVlPDFObject* AddNumber(std::string key, double value);
  TVlPDFObject* AddBoolean(std::string key, bool value);
  TVlPDFObject* AddReference(std::string key, std::int32_t objectNumber);

  // The value of the first entry with this key, or null.
  TVlPDFObject* Find(std::string_view key) const;
  // Replaces the value of the first entry with this key (frees the old one unless shared);
  // appends the entry when the key is absent.
  void Set(std::string key, TVlPDFObject* value);
  std::size_t Count() const { return entries_.size(); }
  const std::string& Key(std::size_t i) const { return entries_[i].first; }
  TVlPDFObject* Value(std::size_t i) const { return entries_[i].second; }

 private:
  std::vector<std::pair<std::string, TVlPDFObject*>> entries_;
};

// A stream: its dictionary (owned, created with Length 0) and its data, either in memory or
// as a region of a spool file shared by several streams (see TVlPDFSpool). WriteTo sets the
// Length entry to the data length, then writes the dictionary, "stream", the data and
// "endstream", each line ended by a line feed.
class TVlPDFStreamObject final : public TVlPDFObject {
 public:
  TVlPDFStreamObject();
  TVlPDFStreamObject(const void* data, std::int64_t length);  // copies the bytes
  ~TVlPDFStreamObject() override;
  TVlPDFStreamObject(const TVlPDFStreamObject&) = delete;
  TVlPDFStreamObject& operator=(const TVlPDFStreamObject&) = delete;
  TVlStatus WriteTo(TVlStream& stream) override;

  TVlPDFDictionaryObject& Dictionary() { return *dictionary_; }
  // In-memory data (replaces any spooled region).
  void SetData(std::vector<std::uint8_t> data);
  void SetData(const void* data, std::int64_t length);
  // Data held as bytes [offset, offset + length) of a spool file; the stream keeps the file
  // alive. The bytes are copied into the output by WriteTo.
  void SetSpooledData(std::shared_ptr<TVlStream> spool, std::int64_t offset, std::int64_t length);
  std::int64_t DataLength() const;
  bool IsSpooled() const { return spool_ != nullptr; }
  const std::vector<std::uint8_t>& Data() const { return data_; }  // in-memory data only

 private:
  std::unique_ptr<TVlPDFDictionaryObject> dictionary_;
  std::vector<std::uint8_t> data_;
  std::shared_ptr<TVlStream> spool_;
  std::int64_t spoolOffset_ = 0;
  std::int64_t spoolLength_ = 0;
};

// The indirect objects of one document, in number order. Does not own them.
using TVlPDFObjectList = std::vector<TVlPDFObject*>;

// Appends the object and gives it the new list length as its object number.
void AddIndirectObject(TVlPDFObjectList& list, TVlPDFObject* object);

// Creates { /Type /Catalog } and adds it to the list; call it first so that it becomes object 1.
// The caller owns the result.
std::unique_ptr<TVlPDFDictionaryObject> MakeCatalog(TVlPDFObjectList& list);

// Creates a page dictionary with, in this order, Type /Page, Resources (a reference to
// `resources`, only when given and indirect), MediaBox (takes `mediaBox`), Contents (a
// reference to `contentsNumber`); adds it to the object list and to `pages`. The caller owns
// the result.
std::unique_ptr<TVlPDFDictionaryObject> MakePage(TVlPDFObjectList& list, std::vector<TVlPDFDictionaryObject*>& pages,
                                 const TVlPDFDictionaryObject* resources, std::int32_t contentsNumber,
                                 std::unique_ptr<TVlPDFArrayObject> mediaBox);

// Creates the page tree root { Type /Pages, Kids [refs], Count n } and adds it to the list;
// then appends Parent (a reference to the root) to every page and Pages to the catalog (the
// first object of the list, which must be a dictionary). The caller owns the result.
std::unique_ptr<TVlPDFDictionaryObject> MakePagesNode(TVlPDFObjectList& list,
                                                      const std::vector<TVlPDFDictionaryObject*>& pages);

// "%PDF-1.4", a line feed, "%" and the bytes C8 D2 F0 FE, a line feed.
TVlStatus WritePDFHeader(TVlStream& stream);
// Every object as "N 0 obj", its syntax, "endobj"; records each object's offset.
TVlStatus WriteIndirectObjects(TVlStream& stream, const TVlPDFObjectList& list);
// The cross-reference table (20-byte entries), the trailer with Size, Root 1 0 R and Info, and
// startxref. limitExceeded when an offset does not fit ten digits.
TVlStatus WriteXrefAndTrailer(TVlStream& stream, const TVlPDFObjectList& list, const TVlPDFObject& info);

// The shortest plain decimal text of `value` rounded to 15 significant digits: integers without
// a decimal point ("595"), fractions with a full stop ("0.5") whatever the C or C++ locale;
// never an exponent. Non-finite values give "0"; -0 gives "0".
std::string FormatPDFNumber(double value);

// The bytes of a PDF text string for UTF-8 text: unchanged when every byte is ASCII, else the
// byte-order mark FE FF followed by UTF-16BE (invalid UTF-8 sequences become U+FFFD).
std::string PDFTextString(std::string_view utf8);

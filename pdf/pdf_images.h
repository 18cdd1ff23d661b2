// Image pages to PDF: one image per page, each placed at the top-left corner of its page and
// scaled to touch the page on one axis.
//
//   BeginPDF        a new document builder (catalog = object 1, shared resources = object 2)
//   AddImagePage    encodes one vl1g or vl24RGB image and adds image, content and page objects
//   EndPDF          adds the page tree and the document information and writes the file
//   SaveImageAsPDF  the three for a single image
//   FitImageToPage  the drawn size of an image on a page
//
// Page size, compression and document information come from the PDF group of each page's
// parameter record (pdfPaperWidth/Height in points, pdfCompression 0..5, pdfTitle ...
// pdfProducer as UTF-8). Bilevel pages: none, RunLength, CCITT G4, CCITT G3 2-D, LZW (JPEG is
// taken as G3 2-D and the record is changed to say so); the image keeps its 1 bits for white
// and states so with BlackIs1 for the CCITT codings. Colour pages: LZW and JPEG (a gray JPEG
// when jpegColorSpace is 1, else YCbCr, so that the stream is always DeviceGray or DeviceRGB),
// uncompressed for every other choice. Images in other formats are converted to vl24RGB.
//
// Encoded image data do not stay in memory: each image is appended to one delete-on-close
// temporary spool file of the builder as it is encoded, and EndPDF copies the data from there
// in a single forward pass over the output. The bytes written are the same as if the data had
// been held in memory (TPDFBuilder::spoolInMemory does exactly that).
//
// Object numbers for n pages: 1 catalog, 2 resources, page k (from 1): image 3k, content
// 3k + 1, page 3k + 2; page tree root 3n + 3, information dictionary 3n + 4.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "imaging/status.h"
#include "pdf/pdf_objects.h"
#include "pdf/pdf_paper.h"

class TVlBitmap;
class TVlStream;
class TIOParamsVals;
struct ProgressRecord;

struct TPDFBuilder {
  TVlPDFObjectList objects;                        // every indirect object, in number order
  std::vector<TVlPDFDictionaryObject*> pages;      // page dictionaries, in page order
  std::vector<std::unique_ptr<TVlPDFDictionaryObject>> pageObjects;  // owners of `pages`
  std::vector<std::unique_ptr<TVlPDFStreamObject>> images;           // image XObjects
  std::vector<std::unique_ptr<TVlPDFStreamObject>> contents;         // content streams
  std::unique_ptr<TVlPDFDictionaryObject> resources;                 // shared by all pages
  TVlPDFDictionaryObject* xobjects = nullptr;                        // inside `resources`
  std::unique_ptr<TVlPDFDictionaryObject> catalog;

  // Spool of the encoded image data. Created with the first image: a temporary file in
  // `spoolDirectory` (the temporary directory when empty), or memory when `spoolInMemory` is
  // set or no temporary file can be created.
  std::shared_ptr<TVlStream> spool;
  std::filesystem::path spoolDirectory;
  bool spoolInMemory = false;
};

std::unique_ptr<TPDFBuilder> BeginPDF();

// Adds one page. Sets params.bitsPerSample/samplesPerPixel to 1/1 (vl1g) or 8/3 (colour) and,
// for a bilevel page with JPEG chosen, params.pdfCompression to 3. Nothing is added when it
// fails: badData for a compression outside 0..5 or a paper side below 1, the encoder's status
// otherwise, aborted when the progress record's abort flag is set. An LZW choice without any
// LZW encoder (record or process-wide) writes the page uncompressed.
TVlStatus AddImagePage(TPDFBuilder& builder, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);

// Writes the whole document to `output` (document information from `params`) and releases the
// builder. On failure the output holds a partial file that the caller discards.
TVlStatus EndPDF(std::unique_ptr<TPDFBuilder> builder, TVlStream& output, const TIOParamsVals& params);

TVlStatus SaveImageAsPDF(TVlStream& output, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress);

// The drawn size (at least 1 x 1) of a width x height image scaled by
// min(paperHeight / height, paperWidth / width), rounded down, computed exactly.
struct TPDFDrawnSize {
  std::int64_t width = 1, height = 1;
};
TPDFDrawnSize FitImageToPage(std::int64_t width, std::int64_t height, std::int64_t paperWidth, std::int64_t paperHeight);

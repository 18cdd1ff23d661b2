#include "pdf/pdf_images.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/codec_hooks.h"
#include "imaging/formats/jpeg.h"
#include "imaging/limits.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/stream.h"
#include "pdf/pdf_runlength.h"
#include "tiff/ccitt.h"

namespace {

constexpr TVlStatus kSpoolWriteFailed = TVlStatus::IoError("PDF image spool refused a write");

std::string Decimal(std::int64_t v) { return std::to_string(v); }

// The spool of encoded image data, created on first use.
TVlStream& Spool(TPDFBuilder& b) {
  if (!b.spool) {
    if (!b.spoolInMemory) {
      try {
        b.spool.reset(TVlFileStream::CreateTemporary(b.spoolDirectory));
      } catch (const TVlFileError&) {
        b.spool.reset();  // no temporary file: keep the data in memory instead
      }
    }
    if (!b.spool)
      b.spool = std::make_shared<TVlMemoryStream>();
  }
  return *b.spool;
}

// Reports rows and polls the abort flag.
struct TRowProgress {
  ProgressRecord& progress;
  explicit TRowProgress(ProgressRecord& p, std::int32_t rows) : progress(p) {
    progress.percentPerRow = rows > 0 ? 100.0 / rows : 0.0;
  }
  bool Row(std::int32_t y) {
    progress.ReportRow(y + 1);
    return !progress.Aborted();
  }
};

// A bilevel row of ceil(width / 8) bytes with the padding bits of its last byte set (white),
// so that the output does not depend on what the buffer holds beyond the width.
void CopyBilevelRow(const std::uint8_t* src, std::int32_t width, std::uint8_t* dst) {
  const std::int32_t r = (width + 7) / 8;
  std::memcpy(dst, src, static_cast<std::size_t>(r));
  if (const int used = width % 8)
    dst[r - 1] |= static_cast<std::uint8_t>(0xFF >> used);
}

// B, G, R pixels to R, G, B.
void CopyColourRow(const std::uint8_t* src, std::int32_t width, std::uint8_t* dst) {
  for (std::int32_t x = 0; x < width; ++x, src += 3, dst += 3) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
  }
}

LzwEncodeHook ChooseLzwEncoder(const TIOParamsVals& params) {
  return params.tiffLzwEncoder ? params.tiffLzwEncoder : DefaultTiffLzwEncoder();
}

// Rows (prepared by `prepare` into `row`) to the LZW hook, then its closing call.
template <class Prepare>
TVlStatus EncodeLzwRows(TVlBitmap& bitmap, std::int32_t rowBytes, LzwEncodeHook hook, TVlStream& sink,
                        TRowProgress& rows, Prepare prepare) {
  std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes));
  TLzwEncoderState* state = nullptr;
  TVlStatus status = TVlStatus::Ok();
  for (std::int32_t y = 0; y < bitmap.Height() && status.ok(); ++y) {
    prepare(bitmap.RowPointer(y), row.data());
    if (!hook(row.data(), rowBytes, sink, state))
      status = kSpoolWriteFailed;
    else if (!rows.Row(y))
      status = TVlStatus::Aborted();
  }
  if (!hook(nullptr, 0, sink, state) && status.ok())  // always release the coder state
    status = kSpoolWriteFailed;
  return status;
}

// Plain rows, each prepared into `row`, written one after another.
template <class Prepare>
TVlStatus WriteRawRows(TVlBitmap& bitmap, std::int32_t rowBytes, TVlStream& sink, TRowProgress& rows,
                       Prepare prepare) {
  std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes));
  for (std::int32_t y = 0; y < bitmap.Height(); ++y) {
    prepare(bitmap.RowPointer(y), row.data());
    if (!sink.WriteAll(row.data(), rowBytes))
      return kSpoolWriteFailed;
    if (!rows.Row(y))
      return TVlStatus::Aborted();
  }
  return TVlStatus::Ok();
}

// The CCITT codings of a bilevel image (ITU-T T.6, or T.4 two-dimensional), fill order 1.
// The rows go in as the buffer holds them; their 1 bits are coded as black runs, which the
// BlackIs1 entry turns back into white.
TVlStatus EncodeFaxRows(TVlBitmap& bitmap, bool groupFour, TVlStream& sink, TRowProgress& rows,
                        ProgressRecord& progress) {
  const std::int32_t width = bitmap.Width();
  const std::int32_t r = (width + 7) / 8;
  std::vector<std::uint8_t> row(static_cast<std::size_t>(r));
  std::vector<std::uint8_t> reference;
  int carriedBits = 0;
  std::uint8_t carriedByte = 0;
  std::atomic<bool> localAbort{false};
  std::atomic<bool>& abortFlag = progress.abortFlag ? *progress.abortFlag : localAbort;
  auto write = [&](const std::uint8_t* data) {
    return groupFour ? WriteT6Row(data, width, sink, 1, abortFlag, reference, carriedBits, carriedByte)
                     : WriteT4Row(data, width, sink, 1, abortFlag, true, reference, carriedBits, carriedByte);
  };
  TVlStatus status = TVlStatus::Ok();
  for (std::int32_t y = 0; y < bitmap.Height() && status.ok(); ++y) {
    CopyBilevelRow(bitmap.RowPointer(y), width, row.data());
    status = write(row.data());
    if (status.ok() && !rows.Row(y))
      status = TVlStatus::Aborted();
  }
  const TVlStatus end = write(nullptr);  // always ends the strip and releases the reference row
  return status.ok() ? end : status;
}

void AddCcittEntries(TVlPDFDictionaryObject& d, int k, std::int32_t width, std::int32_t height) {
  d.AddName("Filter", "CCITTFaxDecode");
  auto* parms = d.Add("DecodeParms", std::make_unique<TVlPDFDictionaryObject>());
  parms->AddNumber("K", k);
  parms->AddBoolean("BlackIs1", true);
  parms->AddNumber("Columns", width);
  parms->AddNumber("Rows", height);
  parms->AddBoolean("EndOfLine", false);
  parms->AddBoolean("Uncompressed", true);
  parms->AddBoolean("EncodedByteAlign", false);
  parms->AddBoolean("EndOfBlock", false);
}

TVlStatus EncodeBilevel(TVlBitmap& bitmap, TIOParamsVals& params, TVlStream& sink, TVlPDFDictionaryObject& dict,
                        TRowProgress& rows, ProgressRecord& progress) {
  const std::int32_t width = bitmap.Width(), height = bitmap.Height();
  const std::int32_t r = (width + 7) / 8;
  if (params.pdfCompression == pdfJpeg)
    params.pdfCompression = pdfG3TwoD;
  auto bilevel = [width](const std::uint8_t* s, std::uint8_t* d) { CopyBilevelRow(s, width, d); };
  LzwEncodeHook lzw = params.pdfCompression == pdfLzw ? ChooseLzwEncoder(params) : nullptr;
  switch (params.pdfCompression) {
    case pdfRunLength: {
      const std::int64_t blockBytes = std::int64_t(r) * height;
      VL_TRY(CheckBufferSize(blockBytes));
      std::vector<std::uint8_t> block(static_cast<std::size_t>(blockBytes));
      for (std::int32_t y = 0; y < height; ++y) {
        CopyBilevelRow(bitmap.RowPointer(y), width, block.data() + std::size_t(y) * std::size_t(r));
        if (!rows.Row(y))
          return TVlStatus::Aborted();
      }
      const std::vector<std::uint8_t> coded = RunLengthEncode(block.data(), block.size());
      if (!sink.WriteAll(coded.data(), static_cast<std::int64_t>(coded.size())))
        return kSpoolWriteFailed;
      dict.Add("Filter", std::make_unique<TVlPDFArrayObject>())->Add(new TVlPDFNameObject("RunLengthDecode"));
      break;
    }
    case pdfG4:
      VL_TRY(EncodeFaxRows(bitmap, true, sink, rows, progress));
      AddCcittEntries(dict, -1, width, height);
      break;
    case pdfG3TwoD:
      VL_TRY(EncodeFaxRows(bitmap, false, sink, rows, progress));
      AddCcittEntries(dict, 1, width, height);
      break;
    case pdfLzw:
      if (lzw) {
        VL_TRY(EncodeLzwRows(bitmap, r, lzw, sink, rows, bilevel));
        dict.AddName("Filter", "LZWDecode");
        break;
      }
      [[fallthrough]];  // no LZW coder installed: uncompressed
    default:
      VL_TRY(WriteRawRows(bitmap, r, sink, rows, bilevel));
      break;
  }
  dict.AddName("ColorSpace", "DeviceGray");
  dict.AddNumber("BitsPerComponent", 1);
  return TVlStatus::Ok();
}

// A baseline JPEG of the whole image: one gray component, or three YCbCr components, which a
// PDF reader shows as DeviceGray or DeviceRGB. Never CMYK or YCCK, which DeviceRGB cannot show.
TVlStatus EncodePdfJpeg(TVlBitmap& bitmap, std::int32_t quality, bool gray, TVlStream& sink, ProgressRecord& progress) {
  TJpegWriteOptions options;
  options.quality = std::clamp(quality, 1, 100);
  options.colorSpace = gray ? 1 : 2;
  return WriteJPEGImage(sink, bitmap, options, progress);
}

TVlStatus EncodeColour(TVlBitmap& bitmap, TIOParamsVals& params, TVlStream& sink, TVlPDFDictionaryObject& dict,
                       TRowProgress& rows, ProgressRecord& progress) {
  const std::int32_t width = bitmap.Width();
  const auto rowBytes = CheckedRowLength(width, 24, 8);
  if (!rowBytes)
    return TVlStatus::LimitExceeded("PDF image row too long");
  auto colour = [width](const std::uint8_t* s, std::uint8_t* d) { CopyColourRow(s, width, d); };
  LzwEncodeHook lzw = params.pdfCompression == pdfLzw ? ChooseLzwEncoder(params) : nullptr;
  if (lzw) {
    VL_TRY(EncodeLzwRows(bitmap, *rowBytes, lzw, sink, rows, colour));
    dict.AddName("Filter", "LZWDecode");
    dict.AddName("ColorSpace", "DeviceRGB");
  } else if (params.pdfCompression == pdfJpeg) {
    const bool gray = params.jpegColorSpace == 1;
    VL_TRY(EncodePdfJpeg(bitmap, params.jpegQuality, gray, sink, progress));
    dict.AddName("Filter", "DCTDecode");
    dict.AddName("ColorSpace", gray ? "DeviceGray" : "DeviceRGB");
  } else {
    VL_TRY(WriteRawRows(bitmap, *rowBytes, sink, rows, colour));
    dict.AddName("ColorSpace", "DeviceRGB");
  }
  dict.AddNumber("BitsPerComponent", 8);
  return TVlStatus::Ok();
}

std::string CreationDate() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char buf[32];
  std::strftime(buf, sizeof buf, "D:%Y%m%d%H%M%S", &t);
  return buf;
}

}  // namespace

TPDFDrawnSize FitImageToPage(std::int64_t width, std::int64_t height, std::int64_t paperWidth,
                             std::int64_t paperHeight) {
  TPDFDrawnSize d;
  if (width < 1 || height < 1 || paperWidth < 1 || paperHeight < 1)
    return d;
  // scale = min(paperHeight / height, paperWidth / width), compared without rounding.
  if (paperWidth * height <= paperHeight * width) {
    d.width = paperWidth;
    d.height = height * paperWidth / width;
  } else {
    d.height = paperHeight;
    d.width = width * paperHeight / height;
  }
  d.width = std::max<std::int64_t>(d.width, 1);
  d.height = std::max<std::int64_t>(d.height, 1);
  return d;
}

std::unique_ptr<TPDFBuilder> BeginPDF() {
  auto b = std::make_unique<TPDFBuilder>();
  b->catalog = MakeCatalog(b->objects);
  b->resources = std::make_unique<TVlPDFDictionaryObject>();
  b->resources->shared = true;
  auto* procSet = b->resources->Add("ProcSet", std::make_unique<TVlPDFArrayObject>());
  procSet->Add(new TVlPDFNameObject("PDF"));
  procSet->Add(new TVlPDFNameObject("ImageB"));
  b->xobjects = b->resources->Add("XObject", std::make_unique<TVlPDFDictionaryObject>());
  AddIndirectObject(b->objects, b->resources.get());
  return b;
}

TVlStatus AddImagePage(TPDFBuilder& builder, TVlBitmap& source, TIOParamsVals& params, ProgressRecord& progress) {
  if (params.pdfCompression > pdfLzw)
    return TVlStatus::BadData("PDF compression outside 0 to 5");
  if (params.pdfPaperWidth < 1 || params.pdfPaperHeight < 1)
    return TVlStatus::BadData("PDF paper size below one point");
  if (source.IsEmpty())
    return TVlStatus::BadData("PDF page without an image");

  // Other formats go in as 24-bit colour.
  TVlBitmap converted;
  TVlBitmap* bitmap = &source;
  if (source.PixelFormat() != vl1g && source.PixelFormat() != vl24RGB) {
    VL_TRY(converted.AssignImage(source));
    VL_TRY(converted.ConvertToFormat(vl24RGB));
    bitmap = &converted;
  }
  const bool bilevel = bitmap->PixelFormat() == vl1g;
  params.bitsPerSample = bilevel ? 1 : 8;
  params.samplesPerPixel = bilevel ? 1 : 3;
  const std::int32_t width = bitmap->Width(), height = bitmap->Height();

  TVlStream& sink = Spool(builder);
  const std::int64_t start = sink.Size();
  if (!sink.Seek(start))
    return kSpoolWriteFailed;
  auto image = std::make_unique<TVlPDFStreamObject>();
  TVlPDFDictionaryObject& dict = image->Dictionary();
  TRowProgress rows(progress, height);
  VL_TRY(bilevel ? EncodeBilevel(*bitmap, params, sink, dict, rows, progress)
                 : EncodeColour(*bitmap, params, sink, dict, rows, progress));
  if (!sink.Flush())
    return kSpoolWriteFailed;
  image->SetSpooledData(builder.spool, start, sink.Position() - start);

  dict.Insert(0, "Type", new TVlPDFNameObject("XObject"));
  dict.Insert(1, "Subtype", new TVlPDFNameObject("Image"));
  dict.AddNumber("Width", width);
  dict.AddNumber("Height", height);
  AddIndirectObject(builder.objects, image.get());
  builder.images.push_back(std::move(image));
  const std::string name = "lm" + Decimal(static_cast<std::int64_t>(builder.images.size()));

  const TPDFDrawnSize drawn = FitImageToPage(width, height, params.pdfPaperWidth, params.pdfPaperHeight);
  const std::string content = "q\n" + Decimal(drawn.width) + " 0 0 " + Decimal(drawn.height) + " 0 " +
                              Decimal(params.pdfPaperHeight - drawn.height) + " cm\n/" + name + " Do\nQ";
  auto contentStream = std::make_unique<TVlPDFStreamObject>(content.data(), static_cast<std::int64_t>(content.size()));
  AddIndirectObject(builder.objects, contentStream.get());
  const std::int32_t contentNumber = contentStream->objectNumber;
  builder.contents.push_back(std::move(contentStream));

  builder.xobjects->AddReference(name, builder.images.back()->objectNumber);

  auto box = std::make_unique<TVlPDFArrayObject>();
  for (double v : {0.0, 0.0, double(params.pdfPaperWidth), double(params.pdfPaperHeight)})
    box->Add(new TVlPDFNumericObject(v));
  builder.pageObjects.push_back(
      MakePage(builder.objects, builder.pages, builder.resources.get(), contentNumber, std::move(box)));
  return TVlStatus::Ok();
}

TVlStatus EndPDF(std::unique_ptr<TPDFBuilder> builder, TVlStream& output, const TIOParamsVals& params) {
  if (!builder)
    return TVlStatus::BadData("PDF document not begun");
  TPDFBuilder& b = *builder;
  std::unique_ptr<TVlPDFDictionaryObject> root = MakePagesNode(b.objects, b.pages);
  auto info = std::make_unique<TVlPDFDictionaryObject>();
  const std::pair<const char*, const std::string*> texts[] = {
      {"Title", &params.pdfTitle},       {"Author", &params.pdfAuthor},   {"Subject", &params.pdfSubject},
      {"Keywords", &params.pdfKeywords}, {"Creator", &params.pdfCreator}, {"Producer", &params.pdfProducer},
  };
  for (const auto& [key, text] : texts)
    if (!text->empty())
      info->Add(key, TVlPDFStringObject::FromText(*text));
  info->Add("CreationDate", std::make_unique<TVlPDFStringObject>(CreationDate()));
  AddIndirectObject(b.objects, info.get());

  VL_TRY(WritePDFHeader(output));
  VL_TRY(WriteIndirectObjects(output, b.objects));
  VL_TRY(WriteXrefAndTrailer(output, b.objects, *info));
  if (!output.Flush())
    return TVlStatus::IoError("PDF output stream refused a write");
  return TVlStatus::Ok();
}

TVlStatus SaveImageAsPDF(TVlStream& output, TVlBitmap& bitmap, TIOParamsVals& params, ProgressRecord& progress) {
  std::unique_ptr<TPDFBuilder> builder = BeginPDF();
  VL_TRY(AddImagePage(*builder, bitmap, params, progress));
  return EndPDF(std::move(builder), output, params);
}

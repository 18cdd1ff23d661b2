// The process-wide table of file types and content detection.
//
// Files are recognised by content first and by extension second. The table is built once, in a
// fixed row order (the order decides extension look-ups), before any I/O object is used; types
// registered later by a caller ("external" types) go to its end and carry their own reader,
// writer and detector. Internal types are dispatched by id; their reader and writer slots only
// mark them readable or writable.
//
// Entry points: DetectStreamType, DetectFileType, FileTypeById, FileTypeByExtension,
// FileTypeOfExtension, FileTypeExtension, FileTypeExtensionCount, IsReadableExtension,
// RegisterFileType, UnregisterFileType, ImageCountOfFile, RegisterImageCounter.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/params.h"
#include "imaging/progress.h"
#include "imaging/stream.h"

// File-type ids (0 unknown; 15, 21, 22 and 23 are not in the table).
enum : std::int32_t {
  vlftUnknown = 0,
  vlftTIFF = 1,
  vlftGIF = 2,
  vlftJPEG = 3,
  vlftPCX = 4,
  vlftBMP = 5,
  vlftICO = 6,
  vlftCUR = 7,
  vlftPNG = 8,
  vlftWMF = 9,
  vlftEMF = 10,
  vlftTGA = 11,
  vlftPNM = 12,
  vlftJP2 = 13,
  vlftJ2K = 14,
  vlftAVI = 15,
  vlftWBMP = 16,
  vlftPS = 17,
  vlftPDF = 18,
  vlftDCX = 19,
  vlftRAW = 20,
  vlftPSD = 24,
  vlftVLV = 25,
  vlftLYR = 26,
  vlftALL = 27,
};

// Option-page bits: which pages the format option dialog shows.
enum : std::int32_t {
  vlopJPEG = 4,
  vlopTIFF = 8,
  vlopGIF = 16,
  vlopBMP = 32,
  vlopPCX = 64,
  vlopPNG = 128,
  vlopTGA = 256,
  vlopJ2K = 512,
};

using TVlFileReader = std::function<void(TVlStream&, TVlBitmap&, TIOParamsVals&, bool paramsOnly, ProgressRecord&)>;
using TVlFileWriter = std::function<void(TVlStream&, TVlBitmap&, TIOParamsVals&, ProgressRecord&)>;
using TVlFileDetector = std::function<bool(TVlStream&, std::int32_t id)>;

struct FileTypeRecord {
  std::int32_t id = 0;
  std::string name;        // at most 80 characters
  std::string extensions;  // upper case, no dot, ";"-separated
  bool internal = false;
  std::int32_t optionPages = 0;
  TVlFileReader reader;      // internal types: a placeholder that marks the type readable
  TVlFileWriter writer;      // internal types: a placeholder that marks the type writable
  TVlFileDetector detector;  // internal types: a placeholder that always answers false
};

// Content detection at the stream's position; 0 when unknown. The position is unchanged.
std::int32_t DetectStreamType(TVlStream& stream);
// The type of a file: content, then the extension (see the rules in the implementation).
std::int32_t DetectFileType(const std::filesystem::path& name, bool verify);

const FileTypeRecord* FileTypeById(std::int32_t id);
// The extension as the platform extracts it from a name, with or without its dot, any case.
const FileTypeRecord* FileTypeByExtension(const std::string& extension);
std::int32_t FileTypeOfExtension(const std::string& extension);
// The k-th extension of a type (empty past the end) and their number.
std::string FileTypeExtension(std::int32_t id, int k);
int FileTypeExtensionCount(std::int32_t id);
// The file's extension names a type with a reader.
bool IsReadableExtension(const std::filesystem::path& fileName);

// Adds a copy of the record at the end of the table (as an external type).
void RegisterFileType(const FileTypeRecord& record);
void UnregisterFileType(std::int32_t id);
// Number of rows, and the row at a position (for building dialog filters).
int FileTypeCount();
const FileTypeRecord* FileTypeAt(int index);

// Number of images in a file, by its extension: TIFF pages; GIF frames, icon images and DCX
// pages through the counters their codecs register (0 while none is registered, as for a file
// whose images cannot be counted); 1 for every other type in the table; 0 for AVI and unknown
// extensions (no media framework here). Raises TVlFileError when a TIFF cannot be opened.
std::int32_t ImageCountOfFile(const std::filesystem::path& fileName);
using TVlImageCounter = std::function<std::int32_t(const std::filesystem::path&)>;
void RegisterImageCounter(std::int32_t id, TVlImageCounter counter);

// The camera-raw library's identification step used as the last content test; installed by the
// camera-raw codec (none: the test is skipped).
using TVlRawIdentifier = bool (*)(TVlStream&);
TVlRawIdentifier& CameraRawIdentifier();

// Page utilities that work on TIFF files without decoding any image: counting the pages of a
// file and copying one page (its directory and every block the directory points to) into a new
// single-page TIFF file.
//
// Entry points: CountTIFFPages, TryCountTIFFPages, CountTIFFPagesOfFile, ExtractTIFFPage,
// ExtractTIFFPageToFile.
//
// Counting walks the directory chain only (TTIFFChainWalker): loops of any length end the
// walk, as do a link of 0, a link below the header or past the end of the file, an empty
// directory and one whose entries reach the end of the file.
//
// Copying keeps the source's byte order and version and the directory's entries in stored order.
// Data blocks are copied stream to stream in entry order and each starts at an even offset; the
// directory follows them, also at an even offset, with a next-directory offset of 0. Relocated:
//   - strips and tiles (273/279, 324/325): each piece min(byte count, bytes left in the file);
//     without byte counts a piece ends at the next larger offset of its array or at the end of
//     the file; byte counts are rewritten to the lengths copied; 16-bit offsets that no longer
//     fit are widened to LONG; a piece at offset 0 (absent, in sparse files) stays absent;
//   - old-style JPEG data: JPEGInterchangeFormat (513) with its length (514), or, without a
//     length, when it points at the start of a strip; the quantisation and Huffman tables
//     (519-521). An interchange offset that can be neither is refused (the page is not written);
//   - sub-directories (SubIFDs 330, EXIF 34665, GPS 34853, Interoperability 40965): copied with
//     their data (depth at most 4, at most 256 directories, each once; their own chains are not
//     followed). A pointer whose directory cannot be copied is dropped;
//   - any other entry with more than 4 bytes of data: its block.
// Dropped: FreeOffsets/FreeByteCounts (288/289, they describe unused space of the source),
// entries of an unknown type, entries whose data do not lie inside the file.
// A page whose directory keeps no entry is refused. Everything written for one page may not
// exceed three times the source size plus 64 KiB (overlapping blocks in a hostile file could
// otherwise multiply it); offsets in the target must fit in 32 bits.
#pragma once

#include <cstdint>
#include <filesystem>

#include "imaging/status.h"
#include "imaging/stream.h"

// Pages of the TIFF stream whose header starts at the current position (restored on return):
// 0 when the stream is not a classic TIFF or its first-directory offset is 0.
std::int32_t CountTIFFPages(TVlStream& stream);

// The same, with the reason when the stream is not a TIFF this program reads (pages is then 0).
TVlStatus TryCountTIFFPages(TVlStream& stream, std::int32_t& pages);

// Opens the file read-only for the count. Throws TVlFileError when it cannot be opened.
std::int32_t CountTIFFPagesOfFile(const std::filesystem::path& path);

// Copies page `pageIndex` (from 0) of the TIFF stream whose header starts at the source's
// current position into a single-page TIFF written at the target's current position (offsets in
// the target are relative to that position). A source that is not a classic TIFF leaves the
// target untouched; a page index beyond the chain leaves the 8-byte header with a
// first-directory offset of 0. Both give a failed status, as does a refused page.
TVlStatus ExtractTIFFPage(TVlStream& source, std::int32_t pageIndex, TVlStream& target);

// Opens the source read-only, creates (replaces) the target and copies the page. On failure the
// target file is removed. Throws TVlFileError when a file cannot be opened or created; a target
// that is the source file itself is refused before anything is created.
TVlStatus ExtractTIFFPageToFile(const std::filesystem::path& source, const std::filesystem::path& target,
                                std::int32_t pageIndex);

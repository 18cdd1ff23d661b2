// Process-wide installation of the TIFF strip coders, and the JPEG length walk used for
// old-style JPEG pages.
//
// InstallDefaultCodecs sets the default LZW hooks (imaging/codec_hooks.h) to TIFFLzwDecode
// and TIFFLzwEncode, and the JPEG codec's EXIF block hooks (imaging/formats/jpeg.h) to
// ReadExifBlock and BuildExifBlock; the program, the command-line tool, tests and fuzzers call it once at
// start, before any parameter record is made. Calling it again does no harm.
#pragma once

#include <cstdint>

class TVlStream;

void InstallDefaultCodecs();

// The length of the JPEG stream that starts at the stream's position, found by walking its
// markers: at each 0xFF the marker byte is read (0xFF fill bytes before it are skipped); SOFn,
// DHT, DAC, JPGn (0xC0..0xCF) and SOS, DQT, DNL, DRI, DHP, EXP, APPn, COM (0xDA..0xFE) are
// followed by a 16-bit big-endian length and their segment is skipped; EOI (0xD9) ends the
// walk after it; any other marker byte (stuffed 0x00, RSTn, SOI) is passed over. The result
// is the distance from the start to where the walk stopped, never beyond the end of the
// stream; the stream is put back at its start.
std::int64_t JPEGLength(TVlStream& stream);

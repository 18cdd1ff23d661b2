// Fuzz target: TIFF header, directory chain walk and every tag accessor on every entry of the
// first directories and of the EXIF, GPS and SubIFD directories they point to, maker-note
// capture and re-emission, and the two content tests.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "tiff/tiff_container.h"

namespace {

void Exercise(const TTIFFDirectory& d) {
  std::vector<std::int32_t> values;
  std::vector<std::uint8_t> raw;
  // Tags are found by a linear search: all entries of a 65535-entry directory would be quadratic.
  const std::size_t n = std::min<std::size_t>(d.entries.size(), 200);
  for (std::size_t k = 0; k < n; ++k) {
    const TTIFFEntry& e = d.entries[k];
    (void)GetIntTag(d, e.tag, 0);
    (void)GetInlineValue(d, e);
    (void)GetRationalTag(d, e.tag);
    for (std::int32_t i : {0, 1, 2, 7, -1, 0x7FFFFFFF}) {
      (void)GetRationalElement(d, e.tag, i);
      (void)GetArrayElement(d, e.tag, i);
    }
    (void)GetIntArrayTag(d, e.tag, values);
    (void)GetRawTag(d, e.tag, raw);
    (void)GetStringTag(d, e.tag);
    (void)GetWideStringTag(d, e.tag);
    TVlTagsHandler note;
    LoadMakerNote(d, e.tag, note);
    if (!note.Empty()) {
      TVlTagsHandler copy = note;
      TVlMemoryStream out;
      std::atomic<bool> abort{false};
      TTIFFEntryList list;
      AddMakerNoteEntry(list, out, e.tag, 1024, abort, copy);
      WriteDirectory(out, abort, list, 0);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TVlMemoryStream s(data, static_cast<std::int64_t>(size));
  (void)IsTIFFStream(s);
  (void)IsCameraRawTIFF(s);
  TTIFFHeader h;
  if (!ReadTIFFHeader(s, 0, h).ok())
    return 0;
  TTIFFDirectory d;
  d.stream = &s;
  d.littleEndian = h.littleEndian;
  std::int32_t count = 0;
  ReadDirectoryChain(-1, h.firstOffset, d, count);
  for (std::int32_t index = 0; index < count && index < 4; ++index) {
    std::int32_t again = 0;
    if (!ReadDirectoryChain(index, h.firstOffset, d, again) || again != count)
      __builtin_trap();  // a counted directory must load, and the count must not change
    Exercise(d);
    for (std::uint16_t pointer : {kTagExifIFD, kTagGPSIFD, kTagSubIFDs}) {
      if (FindTag(d, pointer) < 0)
        continue;
      const std::int32_t first = GetArrayElement(d, pointer, 0);
      const std::uint32_t offset = static_cast<std::uint32_t>(first ? first : GetIntTag(d, pointer, 0));
      TTIFFDirectory sub = d;
      std::int32_t n = 0;
      if (ReadDirectoryChain(0, offset, sub, n))
        Exercise(sub);
    }
  }
  return 0;
}

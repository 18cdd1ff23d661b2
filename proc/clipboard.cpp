// Clipboard payloads and pasted data (see clipboard.h).
#include "proc/clipboard.h"

#include "imaging/formats/dib.h"
#include "proc/proc.h"

TVlClipboardCodecs& VlClipboardCodecs() {
  static TVlClipboardCodecs codecs;
  return codecs;
}

const std::vector<std::string>& VlClipboardPasteOrder() {
  static const std::vector<std::string> order = {kVlMimeRaw, kVlMimePng, kVlMimeBmp};
  return order;
}

TVlClipboardPayloads MakeClipboardPayloads(TVlBitmap& image, bool withRaw, double dpi) {
  TVlClipboardPayloads p;
  if (image.IsEmpty())
    return p;
  p.dib = WritePackedDib(image, dpi);
  p.bmp = WriteBmpFile(image, dpi);
  if (withRaw)
    p.raw = image.WriteRawSnapshot();
  if (VlClipboardCodecs().encodePng && !VlClipboardCodecs().encodePng(image, p.png))
    p.png.clear();
  return p;
}

bool PasteFromClipboardData(const std::string& mime, const std::uint8_t* data, std::size_t size, TVlBitmap& image) {
  if (!data || size == 0)
    return false;
  if (mime == kVlMimeRaw)
    return image.ReadRawSnapshot(data, std::int64_t(size));  // validates before it changes the image
  if (mime == kVlMimePng) {
    const auto& decode = VlClipboardCodecs().decodePng;
    if (!decode)
      return false;
    TVlBitmap fresh;
    if (!decode(data, size, fresh) || fresh.IsEmpty())
      return false;
    return image.AssignImage(fresh).ok();
  }
  if (mime == kVlMimeBmp) {
    TVlBitmap fresh;
    TVlStatus s = size >= 2 && data[0] == 'B' && data[1] == 'M' ? ReadBmpBlock(data, size, fresh)
                                                                : ReadPackedDib(data, size, fresh);
    if ((!s.ok() && s.code != TVlStatusCode::truncated) || fresh.IsEmpty())
      return false;
    return image.AssignImage(fresh).ok();
  }
  return false;
}

void TVlMemoryClipboard::SetData(const std::string& mime, std::vector<std::uint8_t> data) {
  for (auto& it : items)
    if (it.first == mime) {
      it.second = std::move(data);
      return;
    }
  items.emplace_back(mime, std::move(data));
}

bool TVlMemoryClipboard::GetData(const std::string& mime, std::vector<std::uint8_t>& data) {
  for (const auto& it : items)
    if (it.first == mime) {
      data = it.second;
      return true;
    }
  return false;
}

// ===================================================================== processing object

void TVlProc::CopyImageToClipboard(TVlClipboard& clipboard, bool withRaw) {
  TVlBitmap* img = Image();
  if (!img || img->IsEmpty() || !clipboard.Open())
    return;
  clipboard.Clear();
  TVlClipboardPayloads p = MakeClipboardPayloads(*img, withRaw, view_ ? view_->Dpi() : 300.0);
  if (!p.raw.empty())
    clipboard.SetData(kVlMimeRaw, std::move(p.raw));
  if (!p.png.empty())
    clipboard.SetData(kVlMimePng, std::move(p.png));
  if (!p.bmp.empty())
    clipboard.SetData(kVlMimeBmp, std::move(p.bmp));
  clipboard.Close();
}

void TVlProc::PasteFromClipboard(TVlClipboard& clipboard) {
  TVlBitmap* img = Image();
  if (!img || !clipboard.Open())
    return;
  std::vector<std::uint8_t> data;
  for (const std::string& mime : VlClipboardPasteOrder()) {
    if (!clipboard.GetData(mime, data))
      continue;
    // The first format on offer decides; a block that cannot be read changes nothing.
    TVlBitmap fresh;
    if (PasteFromClipboardData(mime, data.data(), data.size(), fresh)) {
      if (AutoUndo && RecordUndoState(1))
        SetUndoCaption("PasteFromClipboard");
      (void)img->AssignImage(fresh);
      img->quantizeColors = fresh.quantizeColors;
      img->display = fresh.display;
    }
    break;
  }
  if (view_)
    view_->RefreshView();
  clipboard.Close();
}

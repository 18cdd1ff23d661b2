// TVlProc basics: the format preference table, background fills, the operation frame and the
// undo and redo histories.
#include "proc/proc.h"

#include <algorithm>
#include <cstring>

#include "imaging/bitops.h"

// ===================================================================== formats

TVlPixelFormat VlAdmittedFormat(TVlPixelFormat f, TVlFormatSet admitted) {
  if (VlFormatIn(f, admitted))
    return f;
  // Candidates per source format, in order of preference.
  static const std::vector<TVlPixelFormat> kPreference[10] = {
      {},
      {vl8g, vl16g, vl32f, vl24RGB},
      {vl24RGB, vlCMYK, vlRGB48, vlCIELab},
      {vl16g, vl32f, vl24RGB, vlCMYK, vlRGB48},
      {vl32f, vl8g, vlRGB48, vl24RGB, vlCMYK},
      {vlCMYK, vlCIELab, vlRGB48, vl8p, vl16g, vl8g},
      {vl16g, vl8g, vl24RGB, vlRGB48, vlCIELab},
      {vl24RGB, vlRGB48, vlCIELab, vl8g},
      {vl24RGB, vlCMYK, vlCIELab, vl16g},
      {vl24RGB, vlCMYK, vlRGB48, vl8g},
  };
  if (f <= vlCIELab)
    for (TVlPixelFormat c : kPreference[f])
      if (VlFormatIn(c, admitted))
        return c;
  for (int c = vlCIELab; c >= vl1g; --c)
    if (VlFormatIn(TVlPixelFormat(c), admitted))
      return TVlPixelFormat(c);
  return vlNone;
}

double VlFillValue(const TVlBitmap& image, TVlColor colour) {
  colour &= 0xFFFFFF;
  TVlRGB c = VlColorToRGB(colour);
  switch (image.PixelFormat()) {
    case vl8g:
      return VlGray(c);
    case vl16g:
      return VlGray(c) * 257.0;
    case vl32f:
      return VlGray(c) / 255.0;
    case vl8p: {
      const TVlRGB* pal = image.Palette();
      if (!pal)
        return 0;
      int best = 0;
      std::int64_t bestDist = INT64_MAX;
      for (int i = 0; i < image.PaletteUsed(); ++i) {
        std::int64_t dr = pal[i].r - c.r, dg = pal[i].g - c.g, db = pal[i].b - c.b;
        std::int64_t d = dr * dr + dg * dg + db * db;
        if (d < bestDist)
          bestDist = d, best = i;
      }
      return best;
    }
    default:
      return double(colour);
  }
}

void TVlSimpleView::SelectRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  selection = std::make_unique<TVlMask>();
  std::int32_t w = std::max(image.Width(), 1), h = std::max(image.Height(), 1);
  if (!selection->Allocate(w, h, 1).ok())
    return;
  for (std::int32_t y = std::max(top, 0); y <= std::min(bottom, h - 1); ++y)
    for (std::int32_t x = std::max(left, 0); x <= std::min(right, w - 1); ++x) selection->SetPixel(x, y, 1);
}

// ===================================================================== frame

TVlProcFrame::TVlProcFrame(TVlProc& proc, std::string caption, Options options) : proc_(proc), options_(options) {
  image_ = proc.Image();
  if (!image_ || image_->IsEmpty())
    return;
  if (options.region && proc.view_) {
    if (const TVlMask* m = proc.view_->Selection()) {
      if (m->IsEmpty())
        return;
      left = std::max(m->left, 0);
      top = std::max(m->top, 0);
      right = std::min(m->right, image_->Width() - 1);
      bottom = std::min(m->bottom, image_->Height() - 1);
      if (left > right || top > bottom)
        return;  // the selection lies outside the image: an empty selection
      mask_ = m;
    }
  }
  if (proc.OnProgress)
    progress_ = [&proc](int percent) { proc.ReportProgress(percent); };
  active_ = true;
  if (options.convertBeforeUndo)
    Admit();
  if (options.undo && proc.AutoUndo && proc.RecordUndoState(1))
    proc.SetUndoCaption(caption);
  Admit();
  if (!mask_) {
    left = top = 0;
    right = image_->Width() - 1;
    bottom = image_->Height() - 1;
    return;
  }
  // The cut-out of the bounding rectangle, same format, palette and alpha.
  const std::int32_t w = right - left + 1, h = bottom - top + 1;
  cut_ = std::make_unique<TVlBitmap>();
  cut_->bilevelMethod = image_->bilevelMethod;
  cut_->quantizeColors = image_->quantizeColors;
  if (!cut_->AllocateImage(w, h, image_->PixelFormat()).ok()) {
    cut_.reset();
    active_ = false;
    return;
  }
  if (image_->Palette() && cut_->Palette())
    std::memcpy(cut_->Palette(), image_->Palette(), 256 * sizeof(TVlRGB));
  image_->CopyArea(*cut_, left, top, w, h, 0, 0);
  if (image_->HasAlpha()) {
    TVlBitmap* a = cut_->AlphaChannel();
    image_->AlphaChannel()->CopyArea(*a, left, top, w, h, 0, 0);
    a->RecheckAlphaFull();
  }
}

TVlProcFrame::~TVlProcFrame() {
  Finish();
}

void TVlProcFrame::Admit() {
  if (!proc_.AutoConvertFormat || VlFormatIn(image_->PixelFormat(), options_.admitted))
    return;
  TVlPixelFormat f = VlAdmittedFormat(image_->PixelFormat(), options_.admitted);
  if (f != vlNone)
    (void)image_->ConvertToFormat(f);
}

void TVlProcFrame::Progress(std::int64_t done, std::int64_t total) {
  if (progress_ && total > 0)
    progress_(int(done * 100 / total));
}

void TVlProcFrame::Replace(const TVlBitmap& result) {
  if (!active_ || &result == &Target())
    return;
  (void)Target().AssignImage(result);
}

void TVlProcFrame::CopyBack() {
  TVlBitmap& img = *image_;
  TVlBitmap& cut = *cut_;
  if (cut.PixelFormat() != img.PixelFormat() && !cut.ConvertToFormat(img.PixelFormat()).ok())
    return;
  const std::int32_t w = std::min(right - left + 1, cut.Width());
  const std::int32_t h = std::min(bottom - top + 1, cut.Height());
  const bool bits = img.PixelFormat() == vl1g;
  const int bytes = img.BitsPerPixel() / 8;
  auto copyPlane = [&](TVlBitmap& from, TVlBitmap& to, bool bitPlane, int pixelBytes) {
    for (std::int32_t y = 0; y < h; ++y) {
      const std::uint8_t* s = from.RowPointer(y);
      std::uint8_t* d = to.RowPointer(top + y);
      for (std::int32_t x = 0; x < w; ++x) {
        if (!mask_->GetPixel(left + x, top + y))
          continue;
        if (bitPlane)
          VlSetBit(d, left + x, VlGetBit(s, x));
        else
          std::memcpy(d + std::int64_t(left + x) * pixelBytes, s + std::int64_t(x) * pixelBytes, size_t(pixelBytes));
      }
    }
    to.RowPointer(0);  // a file-held image writes its last row back
  };
  if (cut.Palette() && img.Palette())
    std::memcpy(img.Palette(), cut.Palette(), 256 * sizeof(TVlRGB));
  copyPlane(cut, img, bits, bytes);
  if (cut.HasAlpha()) {
    TVlBitmap* ia = img.AlphaChannel();
    copyPlane(*cut.AlphaChannel(), *ia, false, 1);
    ia->RecheckAlphaFull();
  }
}

void TVlProcFrame::Finish() {
  if (!active_ || finished_)
    return;
  finished_ = true;
  if (cut_ && !options_.readOnly)
    CopyBack();
  cut_.reset();
  if (proc_.view_)
    proc_.view_->RefreshView();
  proc_.ReportProgress(100);
  if (proc_.OnFinishWork)
    proc_.OnFinishWork(proc_);
}

// ===================================================================== processing object

TVlProc::~TVlProc() = default;

TVlBitmap* TVlProc::Image() const {
  if (view_)
    return view_->ProcImage();
  return image_;
}

TVlColor TVlProc::Background() const {
  return view_ ? view_->BackgroundColor() : background_;
}

void TVlProc::SetBackground(TVlColor colour) {
  if (view_)
    view_->SetBackgroundColor(colour);
  else
    background_ = colour;
}

// ===================================================================== undo and redo

bool TVlProc::Record(TVlHistory& history, std::uint8_t kind, bool fireEvent) {
  const std::int32_t limit = UndoLimit();
  if (limit == 0)
    return false;
  bool added = false;
  TVlHistory::Entry e;
  e.kind = kind;
  if (kind == 1) {
    TVlBitmap* img = Image();
    if (img && img->Width() >= 2 && img->Height() >= 2) {
      e.image = std::make_unique<TVlStoredImage>();
      e.layer = view_ ? view_->CurrentLayer() : -1;
      const std::int64_t inMemory = undo_.MemoryBytes() + redo_.MemoryBytes();
      const bool memory = inMemory + img->RawSnapshotSize() <= undoMemoryBudget;
      added = e.image->Store(*img, memory ? INT64_MAX : -1, undoCompression).ok();
    }
  } else if (kind == 2 || kind == 3) {
    added = view_ && view_->SaveUndoData(kind, e.data);
  }
  if (added)
    history.Push(std::move(e), limit);
  if (fireEvent && OnSaveUndo)
    OnSaveUndo(*this, kind);
  return added;
}

bool TVlProc::RecordUndoState(std::uint8_t kind) {
  return Record(undo_, kind, true);
}
bool TVlProc::RecordRedoState(std::uint8_t kind) {
  return Record(redo_, kind, false);
}

void TVlProc::Apply(TVlHistory& history, std::int32_t depth) {
  TVlBitmap* img = Image();
  if (!img)
    return;
  const TVlHistory::Entry* e = history.FromNewest(depth);
  if (!e)
    return;
  if (e->kind == 1 && e->image) {
    TVlBitmap* target = img;
    if (view_ && e->layer >= 0 && view_->LayerCount() > 0) {
      TVlBitmap* layer = view_->LayerImage(std::clamp(e->layer, 0, view_->LayerCount() - 1));
      if (layer)
        target = layer;
    }
    (void)e->image->Restore(*target);
  } else if (view_ && (e->kind == 2 || e->kind == 3)) {
    view_->RestoreUndoData(e->kind, e->data);
  }
  if (view_)
    view_->RefreshView();
}

void TVlProc::ApplyUndo(std::int32_t depth) {
  Apply(undo_, depth);
}
void TVlProc::ApplyRedo(std::int32_t depth) {
  Apply(redo_, depth);
}
void TVlProc::DropLastUndo() {
  undo_.DropNewest();
}
void TVlProc::DropLastRedo() {
  redo_.DropNewest();
}
void TVlProc::ClearUndoHistory() {
  undo_.Clear();
}
void TVlProc::ClearRedoHistory() {
  redo_.Clear();
}

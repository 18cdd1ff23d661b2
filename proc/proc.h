// TVlProc: the processing object of the single-page view, and the frame every page operation
// runs in.
//
// Entry points: TVlProc (operations, undo and redo histories, clipboard), TVlProcView (what an
// attached view supplies), TVlProcFrame (the operation frame), VlAdmittedFormat (the format
// preference table).
//
// An operation of TVlProc does its work inside one TVlProcFrame, which gives every operation the
// same five steps:
//   1. no image (or an empty selection for a region operation): the frame is inactive and the
//      operation returns at once, recording nothing;
//   2. with AutoUndo on, the current image is recorded in the undo history under the caption;
//   3. the pixel format is admitted: an image whose format is not in the operation's set is
//      converted by the preference table (when AutoConvertFormat is on);
//   4. the operation works on frame.Target(), reporting progress through frame.Progress();
//   5. when the frame ends (destructor or Finish()), a region operation's cut-out is copied back
//      inside the selection mask, the view is refreshed, OnProgress(100) and OnFinishWork fire.
// Operations check their arguments before they open a frame: an argument that means "nothing
// to do" (angle 0, blur radius 0, crop rectangle inverted) records nothing.
//
// Adding an operation (for example Resample or RotateAndCrop) in another file of proc/:
//
//   void TVlProc::Resample(std::int32_t newWidth, std::int32_t newHeight, TResampleFilter filter) {
//     if (newWidth < 0 && newHeight < 0)         // nothing to do: no frame, no undo record
//       return;
//     TVlProcFrame frame(*this, "Resample " + std::to_string(newWidth) + "," + std::to_string(newHeight));
//     if (!frame.Active())                         // no image
//       return;
//     TVlBitmap& image = frame.Image();
//     TVlBitmap result;                            // build the new image ...
//     ... frame.Progress(rowsDone, rowsTotal) ...  // or pass frame.ProgressHandler() to a kernel
//     frame.Replace(result);                       // ... and let it replace the page image
//   }                                              // the frame ends here: refresh and events
//
// Frame options: admitted formats (TVlFormatSet, e.g. VlFormats({vl1g, vl24RGB})), `region`
// (work on the selection's bounding rectangle, copied back inside the mask), `undo` false for
// operations without an undo record (DetectSkewAngle), `readOnly` for region operations that only
// look (ComputeChannelHistogram), `convertBeforeUndo` when the admitted format must be in place
// before the undo record. Operations that call other operations (RotateAndCrop calls Rotate and
// ImageResize) open their own frame first and call the others after it ends (frame.Finish()), or
// call them outside any frame; each called operation records its own undo state.
//
// Background fills: VlFillValue(image, colour) gives the FillImage value that paints `colour` in
// the image's format (vl1g: white for any non-zero colour; vl8g: the gray of the colour).
//
// The geometric and tone kernels behind the operations are free functions in proc/turns.h,
// proc/rotate.h, proc/tone.h, proc/blur.h and proc/sharpen.h; they record nothing and fire no
// events, so other operations (skew detection rotates copies) can call them directly.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "proc/history.h"

class TVlProc;
class TVlClipboard;

// A set of pixel formats: bit f for format f.
using TVlFormatSet = std::uint16_t;
constexpr TVlFormatSet kVlAllFormats = 0x03FE;  // vl1g .. vlCIELab
constexpr TVlFormatSet VlFormats(std::initializer_list<TVlPixelFormat> formats) {
  TVlFormatSet s = 0;
  for (TVlPixelFormat f : formats) s = TVlFormatSet(s | (1u << f));
  return s;
}
constexpr bool VlFormatIn(TVlPixelFormat f, TVlFormatSet s) {
  return f <= vlCIELab && (s >> f) & 1u;
}

// The format an operation admitting `admitted` works in for an image of format `f`: f itself
// when admitted, else the first admitted candidate of f's row of the preference table, else the
// highest-numbered admitted format (9 down to 1); vlNone when nothing is admitted.
TVlPixelFormat VlAdmittedFormat(TVlPixelFormat f, TVlFormatSet admitted);

// The FillImage value that paints `colour` (0x00BBGGRR) in the format of `image`:
// vl1g the colour itself (any non-zero colour sets the bits), vl8g the gray of the colour
// (luma weights), vl16g that gray x 257, vl32f that gray / 255, vl8p the nearest palette entry,
// colour formats the colour.
double VlFillValue(const TVlBitmap& image, TVlColor colour);

// Progress of a kernel in percent (0..100); may be empty.
using TVlProcProgress = std::function<void(int percent)>;

// What an attached single-page view supplies. The GUI's view implements it; tests and the
// command-line tool use TVlSimpleView.
class TVlProcView {
 public:
  virtual ~TVlProcView() = default;
  // The image the view shows (the image operated on); null when the view has none.
  virtual TVlBitmap* ProcImage() = 0;
  virtual TVlColor BackgroundColor() const = 0;
  virtual void SetBackgroundColor(TVlColor colour) = 0;
  // The selection mask in image coordinates, or null when nothing is selected. A mask whose
  // bounding box is empty is an empty selection.
  virtual const TVlMask* Selection() const = 0;
  // Re-read the image and redraw (called at the end of every operation and after undo).
  virtual void RefreshView() {}
  // Resolution of the page in dots per inch (the clipboard DIB carries it).
  virtual double Dpi() const { return 300.0; }
  // Layers: the undo history remembers the current layer of each image state.
  virtual std::int32_t LayerCount() const { return 1; }
  virtual std::int32_t CurrentLayer() const { return 0; }
  virtual TVlBitmap* LayerImage(std::int32_t /*index*/) { return ProcImage(); }
  // Undo kinds 2 (selection) and 3 (vector objects): save into / restore from a byte block;
  // false when the view has nothing of that kind.
  virtual bool SaveUndoData(std::uint8_t /*kind*/, std::vector<std::uint8_t>& /*out*/) { return false; }
  virtual void RestoreUndoData(std::uint8_t /*kind*/, const std::vector<std::uint8_t>& /*data*/) {}
};

// A view without a window: an owned image, a background colour and an optional selection.
class TVlSimpleView : public TVlProcView {
 public:
  TVlBitmap image;
  TVlColor background = VlColor(160, 160, 164);
  std::unique_ptr<TVlMask> selection;  // null: nothing selected
  double dpi = 300.0;
  int refreshCount = 0;

  TVlBitmap* ProcImage() override { return &image; }
  TVlColor BackgroundColor() const override { return background; }
  void SetBackgroundColor(TVlColor c) override { background = c; }
  const TVlMask* Selection() const override { return selection.get(); }
  void RefreshView() override { ++refreshCount; }
  double Dpi() const override { return dpi; }
  // Selects the inclusive rectangle (a rectangular selection as the view's crop mode makes).
  void SelectRect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);
  void SelectNone() { selection.reset(); }
};

// The 256-entry histogram of ComputeChannelHistogram: red, green, blue and luma counters.
struct TVlHistogram {
  std::int64_t red[256] = {}, green[256] = {}, blue[256] = {}, luma[256] = {};
};

class TVlProcFrame {
 public:
  struct Options {
    TVlFormatSet admitted = kVlAllFormats;
    bool region = false;             // work on the selection's bounding rectangle
    bool readOnly = false;           // region operations that only read: no copy back
    bool undo = true;                // record an undo state (when AutoUndo is on)
    bool convertBeforeUndo = false;  // admit the format before the undo record
  };
  TVlProcFrame(TVlProc& proc, std::string caption, Options options);
  TVlProcFrame(TVlProc& proc, std::string caption) : TVlProcFrame(proc, std::move(caption), Options{}) {}
  ~TVlProcFrame();
  TVlProcFrame(const TVlProcFrame&) = delete;
  TVlProcFrame& operator=(const TVlProcFrame&) = delete;

  // False when there is nothing to work on; the operation returns at once.
  bool Active() const { return active_; }
  // The whole page image, in an admitted format.
  TVlBitmap& Image() { return *image_; }
  // What the operation works on: the cut-out of the selection for region operations with a
  // selection, otherwise the page image.
  TVlBitmap& Target() { return cut_ ? *cut_ : *image_; }
  bool HasCutOut() const { return cut_ != nullptr; }
  // Inclusive bounding rectangle of the target in page coordinates.
  std::int32_t left = 0, top = 0, right = -1, bottom = -1;
  // The selection mask (page coordinates) of a region operation, or null.
  const TVlMask* Mask() const { return mask_; }
  TVlProc& Proc() { return proc_; }

  // Reports Trunc(done * 100 / total) through OnProgress when a handler is set.
  void Progress(std::int64_t done, std::int64_t total);
  // A progress function for kernels (empty when the processing object has no handler).
  const TVlProcProgress& ProgressHandler() const { return progress_; }
  // The page image (or the cut-out) is replaced by `result`.
  void Replace(const TVlBitmap& result);
  // Ends the frame now: copy back, refresh, OnProgress(100), OnFinishWork. Idempotent.
  void Finish();

 private:
  void Admit();
  void CopyBack();

  TVlProc& proc_;
  Options options_;
  bool active_ = false;
  bool finished_ = false;
  TVlBitmap* image_ = nullptr;
  const TVlMask* mask_ = nullptr;
  std::unique_ptr<TVlBitmap> cut_;
  TVlProcProgress progress_;
};

class TVlProc {
 public:
  TVlProc() = default;
  explicit TVlProc(TVlProcView* view) : view_(view) {}
  ~TVlProc();
  TVlProc(const TVlProc&) = delete;
  TVlProc& operator=(const TVlProc&) = delete;

  // ---- what is operated on ----
  // The attached view supplies the image, the background colour and the selection.
  void SetAttachedView(TVlProcView* view) { view_ = view; }
  TVlProcView* AttachedView() const { return view_; }
  // Without a view: the image operated on (not owned). A view's image takes precedence.
  void SetImage(TVlBitmap* image) { image_ = image; }
  TVlBitmap* Image() const;

  // ---- properties ----
  // Fill colour for uncovered areas; while attached, the view's background colour.
  TVlColor Background() const;
  void SetBackground(TVlColor colour);
  bool AutoUndo = true;
  bool AutoConvertFormat = true;
  // Capacity of each history; 0 (or negative) disables recording.
  std::int32_t UndoLimit() const { return undoLimit_ < 0 ? 0 : undoLimit_; }
  void SetUndoLimit(std::int32_t limit) { undoLimit_ = limit; }
  // Bytes of image states both histories keep in memory together; a state that would go beyond
  // is kept deflated in a delete-on-close temporary file instead (an A4 page at 300 dpi is 1 MiB
  // in 1 bit and 26 MiB in 24 bits).
  std::int64_t undoMemoryBudget = std::int64_t(256) << 20;
  // zlib level for the states in files (0 stores them uncompressed).
  int undoCompression = 1;

  // ---- events ----
  std::function<void(TVlProc& sender, int percent)> OnProgress;
  std::function<void(TVlProc& sender)> OnFinishWork;
  std::function<void(TVlProc& sender, std::uint8_t kind)> OnSaveUndo;

  // ---- geometric operations ----
  // background: a TVlColor, or -1 for Background(). angle in degrees, positive counter-clockwise.
  void Rotate(bool antialias, std::int64_t background, double angle);
  void Flip(int direction);  // 0 left-right mirror, 1 top-bottom mirror
  void CropSel();
  void Crop(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom);  // inclusive
  // Anchors: 0 left/top, 1 centre, 2 right/bottom.
  void ImageResize(std::int32_t newWidth, std::int32_t newHeight, int hAnchor, int vAnchor);
  void Clear();
  void TrimBorders(std::int32_t divisor);

  // ---- tone and colour operations ----
  void Negative();
  void ConvertToGray();
  void ComputeChannelHistogram(TVlHistogram& histogram);
  void HistEqualize(TVlRGB blackPoint, TVlRGB whitePoint);
  // The automatic contrast sequence: histogram, black and white points, HistEqualize.
  void AutoContrast();
  void ConvertToBW_FloyedSteinberg();
  void WhiteBalance_AutoWhite();
  void AutoSharp(std::int32_t intensity, double edgeRatio);
  void Blur(double radius);

  // ---- undo and redo ----
  // Kind 1 image, 2 view selection, 3 vector objects. True when an entry was added.
  bool RecordUndoState(std::uint8_t kind = 1);
  bool RecordRedoState(std::uint8_t kind = 1);
  // Restores the state `depth` places below the newest entry; the entry stays.
  void ApplyUndo(std::int32_t depth = 0);
  void ApplyRedo(std::int32_t depth = 0);
  void DropLastUndo();
  void DropLastRedo();
  void ClearUndoHistory();
  void ClearRedoHistory();
  std::int32_t UndoDepth() const { return undo_.Count(); }
  std::int32_t RedoDepth() const { return redo_.Count(); }
  // Caption of the entry `depth` places below the newest ("" when there is none).
  std::string UndoCaption(std::int32_t depth = 0) const { return undo_.Caption(depth); }
  std::string RedoCaption(std::int32_t depth = 0) const { return redo_.Caption(depth); }
  void SetUndoCaption(const std::string& caption) { undo_.SetNewestCaption(caption); }
  // Bytes of image states both histories hold in memory (the rest are in temporary files).
  std::int64_t HistoryMemoryBytes() const { return undo_.MemoryBytes() + redo_.MemoryBytes(); }

  // ---- clipboard (proc/clipboard.h: payloads, pasted data, the adapter) ----
  // Puts the image on the clipboard as a BMP (and PNG when a PNG encoder is installed), with
  // the raw snapshot too when withRaw is set.
  void CopyImageToClipboard(TVlClipboard& clipboard, bool withRaw);
  // Replaces the image with the clipboard's image (undo caption "PasteFromClipboard").
  void PasteFromClipboard(TVlClipboard& clipboard);

  // Fires OnProgress (used by frames).
  void ReportProgress(int percent) {
    if (OnProgress)
      OnProgress(*this, percent);
  }

 private:
  friend class TVlProcFrame;
  bool Record(TVlHistory& history, std::uint8_t kind, bool fireEvent);
  void Apply(TVlHistory& history, std::int32_t depth);

  TVlProcView* view_ = nullptr;
  TVlBitmap* image_ = nullptr;
  TVlColor background_ = clBlack;
  std::int32_t undoLimit_ = 1;
  TVlHistory undo_, redo_;
};

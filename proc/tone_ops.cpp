// Tone, colour and filter operations of TVlProc: Negative, ConvertToGray, the histogram and the
// automatic contrast, ConvertToBW_FloyedSteinberg, WhiteBalance_AutoWhite, AutoSharp, Blur.
#include <cmath>

#include "proc/blur.h"
#include "proc/proc.h"
#include "proc/rotate.h"
#include "proc/sharpen.h"
#include "proc/tone.h"

namespace {
TVlProcFrame::Options RegionOf(TVlFormatSet formats) {
  TVlProcFrame::Options o;
  o.admitted = formats;
  o.region = true;
  return o;
}
constexpr TVlFormatSet kRGB = VlFormats({vl24RGB});
}  // namespace

void TVlProc::Negative() {
  TVlProcFrame frame(*this, "Negative", RegionOf(kVlAllFormats));
  if (frame.Active())
    VlNegative(frame.Target());
}

void TVlProc::ConvertToGray() {
  TVlProcFrame frame(*this, "ConvertToGray", RegionOf(kVlAllFormats));
  if (frame.Active())
    VlConvertToGray(frame.Target());
}

void TVlProc::ComputeChannelHistogram(TVlHistogram& histogram) {
  histogram = TVlHistogram{};
  TVlProcFrame::Options o = RegionOf(kRGB);
  o.readOnly = true;
  o.undo = false;
  TVlProcFrame frame(*this, "", o);
  if (frame.Active())
    VlChannelHistogram(frame.Target(), frame.Mask(), frame.left, frame.top, histogram);
}

void TVlProc::HistEqualize(TVlRGB blackPoint, TVlRGB whitePoint) {
  TVlProcFrame frame(*this, "HistEqualize", RegionOf(kRGB));
  if (frame.Active())
    (void)VlHistEqualize(frame.Target(), blackPoint, whitePoint);
}

void TVlProc::AutoContrast() {
  TVlHistogram h;
  ComputeChannelHistogram(h);  // converts a 1-bit page to vl24RGB before any undo record
  TVlBitmap* img = Image();
  if (!img || img->IsEmpty())
    return;
  int lo, hi;
  VlAutoContrastPoints(h, std::int64_t(img->Width()) * img->Height(), lo, hi);
  const std::uint8_t b = std::uint8_t(lo), w = std::uint8_t(hi);
  HistEqualize({b, b, b}, {w, w, w});
}

void TVlProc::ConvertToBW_FloyedSteinberg() {
  TVlProcFrame::Options o;
  o.admitted = kRGB;
  o.convertBeforeUndo = true;  // undo returns the vl24RGB image
  TVlProcFrame frame(*this, "ConvertToBW_FloyedSteinberg", o);
  if (!frame.Active())
    return;
  TVlBitmap result;
  if (VlFloydSteinberg(frame.Image(), result, frame.ProgressHandler()).ok())
    frame.Replace(result);
}

void TVlProc::WhiteBalance_AutoWhite() {
  TVlProcFrame frame(*this, "WhiteBalance_AutoWhite", RegionOf(kRGB));
  if (frame.Active())
    (void)VlWhiteBalance(frame.Target(), frame.ProgressHandler());
}

void TVlProc::AutoSharp(std::int32_t intensity, double edgeRatio) {
  TVlProcFrame frame(*this, "AutoSharp", RegionOf(kRGB));
  if (frame.Active())
    (void)VlAutoSharp(frame.Target(), intensity, edgeRatio, frame.ProgressHandler());
}

void TVlProc::Blur(double radius) {
  if (!(radius > 0) || !std::isfinite(radius))
    return;
  TVlProcFrame frame(*this, "Blur " + VlShortestDecimal(radius), RegionOf(VlFormats({vl8g, vl24RGB})));
  if (frame.Active())
    (void)VlGaussianBlur(frame.Target(), radius, frame.ProgressHandler());
}

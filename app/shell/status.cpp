#include "app/shell/status.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

std::string TitleText(const std::string& documentPath) {
  if (documentPath.empty())
    return "Vellumo";
  return "Vellumo - " + std::filesystem::path(documentPath).filename().string();
}

std::string ColourDepthText(std::int32_t bitsPerSample, std::int32_t samplesPerPixel) {
  const std::int64_t b = static_cast<std::int64_t>(bitsPerSample) * samplesPerPixel;
  // 2^b, rounded and kept to its low 32 bits: 0 for 32 bits and more, and for negative depths
  // (2^-1 rounds to 0).
  std::uint32_t n = (b >= 0 && b < 32) ? (std::uint32_t{1} << b) : 0;
  if (n > 0 && n <= 256)
    return std::to_string(n);
  if (n == 0)
    return std::to_string(b);
  return std::to_string(b) + "b";
}

std::string PagePositionText(std::int32_t currentIndex, std::int32_t pageCount) {
  char buf[64];
  if (pageCount <= 0)
    return kBlankPanel;
  if (currentIndex >= 0)
    std::snprintf(buf, sizeof buf, " %d/%d ", currentIndex + 1, pageCount);
  else
    std::snprintf(buf, sizeof buf, "总页数 %d ", pageCount);
  return buf;
}

std::string ImageInfoText(bool hasCurrentPage, std::int32_t width, std::int32_t height, const std::string& colour,
                          bool withZoom, double zoomPercent) {
  if (!hasCurrentPage || width < 1)
    return kBlankPanel;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%d x %d x %s", width, height, colour.c_str());
  std::string s = buf;
  if (withZoom) {
    std::snprintf(buf, sizeof buf, " (%d%%)", static_cast<int>(std::nearbyint(zoomPercent)));
    s += buf;
  }
  return s;
}

// The texts of the window title and of the status bar panels 1 and 2.
//
// Entry points: TitleText, ColourDepthText, PagePositionText, ImageInfoText, kBlankPanel.
// Panel 0 (the document path shortened to 300 pixels) needs font metrics and is made by the
// window itself.
#pragma once

#include <cstdint>
#include <string>

// Eight spaces: what an empty panel shows.
inline constexpr const char* kBlankPanel = "        ";

// "Vellumo - <file name>" with a document, "Vellumo" without.
std::string TitleText(const std::string& documentPath);

// With b = bitsPerSample * samplesPerPixel and n = 2^b kept to its low 32 bits: n in decimal
// when 0 < n <= 256 ("2", "256"), b alone when n is 0 ("32", "48"), b followed by "b"
// otherwise ("24b").
std::string ColourDepthText(std::int32_t bitsPerSample, std::int32_t samplesPerPixel);

// Panel 1: " %d/%d " with a current page (index from 0), "总页数 %d " with pages but none
// current, kBlankPanel without pages.
std::string PagePositionText(std::int32_t currentIndex, std::int32_t pageCount);

// Panel 2: "%d x %d x %s" with the page's original size and colour text, kBlankPanel without a
// current page or for a width below 1; " (%d%%)" with the zoom rounded is appended when
// `withZoom` and the text is not blank.
std::string ImageInfoText(bool hasCurrentPage, std::int32_t width, std::int32_t height, const std::string& colour,
                          bool withZoom, double zoomPercent);

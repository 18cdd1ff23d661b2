// Page editing options of `vellumo-cli convert`: each runs one operation of the processing
// object on every page, with the arguments the editor's commands use (the view's default
// medium-gray background, no undo history).
//
//   --rotate 90|180|270|DEGREES   Rotate(true, background, DEGREES): positive turns counter-
//                                 clockwise; 90, 180, 270 are exact turns
//   --flip h|v                    Flip(0) left-right mirror / Flip(1) top-bottom mirror
//   --negative                    Negative
//   --gray                        ConvertToGray
//   --bw                          ConvertToBW_FloyedSteinberg
//   --autocontrast                histogram, black and white points, HistEqualize
//   --whiten                      WhiteBalance_AutoWhite
//   --sharpen                     AutoSharp(68, 0.035)
//   --trim                        TrimBorders(6)
//   --blur 1|2|3                  Blur(1), Blur(4), Blur(20) (another level counts as 2)
//   --crop X,Y,W,H                Crop(X, Y, X + W - 1, Y + H - 1)
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "cli/convert_ops.h"
#include "proc/proc.h"

namespace {

// Bits per sample and samples per pixel of a pixel format, as a parameter record states them.
void SampleLayout(TVlPixelFormat f, std::int32_t& bits, std::int32_t& samples) {
  switch (f) {
    case vl1g:
      bits = 1, samples = 1;
      break;
    case vl8p:
    case vl8g:
      bits = 8, samples = 1;
      break;
    case vl16g:
      bits = 16, samples = 1;
      break;
    case vl32f:
      bits = 32, samples = 1;
      break;
    case vlCMYK:
      bits = 8, samples = 4;
      break;
    case vlRGB48:
      bits = 16, samples = 3;
      break;
    default:
      bits = 8, samples = 3;
      break;
  }
}

// Runs `body` on the page through a processing object without a view or an undo history. The
// page's record follows the page: its size, its sample layout when the operation changed the
// pixel format (a blurred 1-bit page is written as gray, a dithered one as 1-bit), and, for a
// quarter turn (`swapsAxes`), its horizontal and vertical resolution.
TPageOperation Run(std::function<void(TVlProc&)> body, bool swapsAxes = false) {
  return [body, swapsAxes](TVlBitmap& page, TIOParamsVals& params, std::string&) {
    const TVlPixelFormat before = page.PixelFormat();
    TVlProc proc;
    proc.SetImage(&page);
    proc.SetBackground(VlColor(160, 160, 164));
    proc.AutoUndo = false;
    proc.SetUndoLimit(0);
    body(proc);
    if (page.PixelFormat() != before)
      SampleLayout(page.PixelFormat(), params.bitsPerSample, params.samplesPerPixel);
    if (swapsAxes && !page.IsEmpty()) {
      const std::int32_t x = params.dpiX, y = params.dpiY;
      params.SetDpiX(y);
      params.SetDpiY(x);
    }
    params.width = page.Width();
    params.height = page.Height();
    return true;
  };
}

bool ParseNumber(const std::string& s, double& out) {
  if (s.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return errno == 0 && end && *end == '\0' && std::isfinite(out);
}

bool ParseInt(const std::string& s, long long& out) {
  if (s.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  out = std::strtoll(s.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0';
}

// An option without a value that runs a fixed operation.
TConvertOption Simple(const char* name, const char* usage, std::function<void(TVlProc&)> body) {
  return {name, TConvertOption::Value::none, usage, [body](const std::string&, TPageOperation& op, std::string&) {
            op = Run(body);
            return true;
          }};
}

}  // namespace

VL_CONVERT_OPTION({"--rotate", TConvertOption::Value::required,
                   "--rotate 90|180|270|DEGREES\n                                  turn counter-clockwise (90, 180, "
                   "270: exact turns)",
                   [](const std::string& v, TPageOperation& op, std::string& error) {
                     double angle;
                     if (!ParseNumber(v, angle)) {
                       error = "--rotate needs an angle in degrees, not '" + v + "'";
                       return false;
                     }
                     // An odd number of quarter turns exchanges the axes.
                     const bool quarter = std::fmod(std::fabs(angle), 180.0) == 90.0;
                     op = Run([angle](TVlProc& p) { p.Rotate(true, -1, angle); }, quarter);
                     return true;
                   }});

VL_CONVERT_OPTION({"--flip", TConvertOption::Value::required,
                   "--flip h|v                  mirror left-right (h) or top-bottom (v)",
                   [](const std::string& v, TPageOperation& op, std::string& error) {
                     if (v != "h" && v != "v") {
                       error = "--flip needs h or v, not '" + v + "'";
                       return false;
                     }
                     const int direction = v == "h" ? 0 : 1;
                     op = Run([direction](TVlProc& p) { p.Flip(direction); });
                     return true;
                   }});

VL_CONVERT_OPTION(Simple("--negative", "--negative                  invert the page",
                         [](TVlProc& p) { p.Negative(); }));
VL_CONVERT_OPTION(Simple("--gray", "--gray                      colour pages to gray",
                         [](TVlProc& p) { p.ConvertToGray(); }));
VL_CONVERT_OPTION(Simple("--bw", "--bw                        black and white by Floyd-Steinberg error diffusion",
                         [](TVlProc& p) { p.ConvertToBW_FloyedSteinberg(); }));
VL_CONVERT_OPTION(Simple("--autocontrast",
                         "--autocontrast              stretch between the histogram's black and white points",
                         [](TVlProc& p) { p.AutoContrast(); }));
VL_CONVERT_OPTION(Simple("--whiten", "--whiten                    make the paper background white",
                         [](TVlProc& p) { p.WhiteBalance_AutoWhite(); }));
VL_CONVERT_OPTION(Simple("--sharpen", "--sharpen                   sharpen along edges",
                         [](TVlProc& p) { p.AutoSharp(68, 0.035); }));
VL_CONVERT_OPTION(Simple("--trim", "--trim                      crop the scanner's borders",
                         [](TVlProc& p) { p.TrimBorders(6); }));

VL_CONVERT_OPTION({"--blur", TConvertOption::Value::required,
                   "--blur 1|2|3                blur lightly, medium or heavily",
                   [](const std::string& v, TPageOperation& op, std::string& error) {
                     long long level;
                     if (!ParseInt(v, level)) {
                       error = "--blur needs a level 1, 2 or 3, not '" + v + "'";
                       return false;
                     }
                     const double radius = level == 1 ? 1 : level == 3 ? 20 : 4;  // other levels count as 2
                     op = Run([radius](TVlProc& p) { p.Blur(radius); });
                     return true;
                   }});

VL_CONVERT_OPTION({"--crop", TConvertOption::Value::required,
                   "--crop X,Y,W,H              keep the rectangle W x H at X,Y",
                   [](const std::string& v, TPageOperation& op, std::string& error) {
                     std::vector<long long> n;
                     std::size_t start = 0;
                     while (true) {
                       const std::size_t comma = v.find(',', start);
                       long long x;
                       if (!ParseInt(v.substr(start, comma == std::string::npos ? std::string::npos : comma - start),
                                     x))
                         break;
                       n.push_back(x);
                       if (comma == std::string::npos)
                         break;
                       start = comma + 1;
                     }
                     if (n.size() != 4 || n[2] < 1 || n[3] < 1 || n[0] < INT32_MIN || n[1] < INT32_MIN ||
                         n[0] + n[2] - 1 > INT32_MAX || n[1] + n[3] - 1 > INT32_MAX) {
                       error = "--crop needs X,Y,W,H with W and H at least 1, not '" + v + "'";
                       return false;
                     }
                     const std::int32_t l = std::int32_t(n[0]), t = std::int32_t(n[1]);
                     const std::int32_t r = std::int32_t(n[0] + n[2] - 1), b = std::int32_t(n[1] + n[3] - 1);
                     op = Run([=](TVlProc& p) { p.Crop(l, t, r, b); });
                     return true;
                   }});

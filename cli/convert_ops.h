// Per-page operations of `vellumo-cli convert` (--rotate, --resize, --deskew …).
//
// Each option registers a parser that turns its value into an operation; convert applies the
// operations in the order given on the command line to every page before writing it. The
// editing options live beside the code they drive (one cli/convert_ops_*.cpp per area) and
// register with VL_CONVERT_OPTION.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/params.h"

// Runs on one page; returns false with a message when the page cannot be processed.
using TPageOperation = std::function<bool(TVlBitmap& page, TIOParamsVals& params, std::string& error)>;

struct TConvertOption {
  enum class Value : std::uint8_t {
    none,      // --negative
    required,  // --rotate 90 (next argument) or --rotate=90
    optional,  // --deskew or --deskew=5,0.5 (only with '=')
  };
  const char* name;   // with the dashes: "--rotate"
  Value value;
  const char* usage;  // one help line, e.g. "--rotate 90|180|270|DEGREES"
  // Builds the operation from the value (empty for none / absent optional values);
  // false with a message for a bad value.
  std::function<bool(const std::string& value, TPageOperation& op, std::string& error)> parse;
};

void RegisterConvertOption(const TConvertOption& option);
const std::vector<TConvertOption>& ConvertOptions();

#define VL_CONVERT_CONCAT2(a, b) a##b
#define VL_CONVERT_CONCAT(a, b) VL_CONVERT_CONCAT2(a, b)
#define VL_CONVERT_OPTION(...) \
  static const bool VL_CONVERT_CONCAT(vl_convert_registered_, __LINE__) = (RegisterConvertOption(__VA_ARGS__), true)

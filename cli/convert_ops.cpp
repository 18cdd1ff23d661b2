#include "cli/convert_ops.h"

namespace {
std::vector<TConvertOption>& Registry() {
  static std::vector<TConvertOption> options;
  return options;
}
}  // namespace

void RegisterConvertOption(const TConvertOption& option) { Registry().push_back(option); }
const std::vector<TConvertOption>& ConvertOptions() { return Registry(); }

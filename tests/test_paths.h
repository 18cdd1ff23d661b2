// Where tests find their fixtures and the public test images.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

// tests/fixtures in the checkout.
inline std::filesystem::path FixturePath(const std::string& rel = {}) {
  const char* d = std::getenv("VELLUMO_FIXTURES");
  std::filesystem::path base = d ? d : "tests/fixtures";
  return rel.empty() ? base : base / rel;
}

// ../shared/corpus beside the checkout; empty when it is not there.
inline std::filesystem::path CorpusPath(const std::string& rel = {}) {
  const char* d = std::getenv("VELLUMO_CORPUS");
  std::filesystem::path base = d ? d : "../shared/corpus";
  std::error_code ec;
  if (!std::filesystem::is_directory(base, ec))
    return {};
  return rel.empty() ? base : base / rel;
}

// Skips the current test when the corpus (or the given part of it) is absent.
#define VL_REQUIRE_CORPUS(rel)                                              \
  do {                                                                      \
    if (CorpusPath().empty() || !std::filesystem::exists(CorpusPath(rel))) \
      GTEST_SKIP() << "public corpus not present: " << (rel);               \
  } while (0)

// Colour quantizer: exact palettes, a variance-driven box splitter over a 5-bit-per-channel
// histogram, and a self-organising neural network (a one-dimensional Kohonen map of N neurons
// with frequency-biased competition) for large palettes.
//
// Box splitting: all pixels start in one box spanning the 32x32x32 bins; the box with the
// largest variance is cut along the channel whose cut lowers the summed variance most, at the
// bin that maximises the between-class score, until N boxes exist or no box can be cut.
//
// Neural network: neurons start on the gray diagonal; sampled pixels (stepping by a prime so
// that the walk covers the image) pull the best biased match and its neighbours towards
// them with a learning rate and a neighbourhood radius that decay every 1/100 of the run.
// Lookups search outwards from the neurons whose green is closest.
#include "imaging/quantizer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {
inline std::uint32_t Key(TVlRGB c) { return std::uint32_t(c.r) << 16 | std::uint32_t(c.g) << 8 | c.b; }
inline int RoundHalfEven(double v) { return static_cast<int>(std::nearbyint(v)); }
}  // namespace

bool IsAllGray(TVlBitmap& image) { return image.IsAllGray(); }

// ===================================================================== box splitting

struct TVlQuantizer::BoxState {
  struct Box {
    double variance = 0;
    double mean[3] = {0, 0, 0};  // red, green, blue in bin units
    std::int32_t count = 0;
    std::int32_t hist[3][32] = {};
    std::int32_t lo[3] = {0, 0, 0}, hi[3] = {32, 32, 32};
  };
  std::vector<std::int32_t> hist3 = std::vector<std::int32_t>(32768, 0);
  std::vector<Box> boxes = std::vector<Box>(256);
  std::vector<std::uint8_t> map = std::vector<std::uint8_t>(32768, 0);
  double total = 0;
  int n = 0;
  int made = 0;

  static int Bin(int r, int g, int b) { return r * 1024 + g * 32 + b; }

  void Stats(Box& b) const {
    if (b.count == 0) {
      b.variance = 0;
      return;
    }
    double var = 0;
    for (int c = 0; c < 3; ++c) {
      double s1 = 0, s2 = 0;
      for (int j = b.lo[c]; j < b.hi[c]; ++j) {
        s1 += double(j) * b.hist[c][j];
        s2 += double(j) * j * b.hist[c][j];
      }
      b.mean[c] = s1 / b.count;
      var += s2 - b.mean[c] * b.mean[c] * b.count;
    }
    b.variance = var / total;
  }

  static void Shrink(Box& b) {
    for (int c = 0; c < 3; ++c) {
      int lo = 32, hi = 1;
      for (int j = 0; j < 32; ++j)
        if (b.hist[c][j]) {
          lo = std::min(lo, j);
          hi = j + 1;
        }
      b.lo[c] = lo;
      b.hi[c] = hi;
    }
  }

  // Cuts `p` along channel c into first and second; false when the channel cannot be cut.
  bool Cut(const Box& p, int c, Box& first, Box& second) const {
    const int lo = p.lo[c], hi = p.hi[c];
    if (lo + 1 == hi || lo >= hi)
      return false;
    const double n = p.count, m = p.mean[c];
    int start = RoundHalfEven((lo + m) / 2), end = std::min(RoundHalfEven((m + hi) / 2), hi - 1);
    start = std::clamp(start, lo, hi - 1);
    double left = 0;
    for (int j = lo; j < start; ++j)
      left += p.hist[c][j];
    int cut = start;
    double leftCount = n, best = -1, moment = 0;
    for (int e = start; e <= end; ++e) {
      left += p.hist[c][e];
      if (left == n)
        break;
      moment += p.hist[c][e] * double(e) / n;
      double d = m - moment;
      double score = left / (n - left) * d * d;
      if (score > best) {
        cut = e;
        leftCount = left;
        best = score;
      }
    }
    first = p;
    second = p;
    first.count = std::int32_t(leftCount);
    first.hi[c] = cut + 1;
    second.count = std::int32_t(n - leftCount);
    second.lo[c] = cut + 1;
    if (first.count == 0 || second.count == 0)
      return false;
    std::memset(first.hist, 0, sizeof first.hist);
    for (int r = first.lo[0]; r < first.hi[0]; ++r)
      for (int g = first.lo[1]; g < first.hi[1]; ++g)
        for (int b = first.lo[2]; b < first.hi[2]; ++b) {
          std::int32_t k = hist3[size_t(Bin(r, g, b))];
          if (!k)
            continue;
          first.hist[0][r] += k, second.hist[0][r] -= k;
          first.hist[1][g] += k, second.hist[1][g] -= k;
          first.hist[2][b] += k, second.hist[2][b] -= k;
        }
    Shrink(first);
    Shrink(second);
    Stats(first);
    Stats(second);
    return true;
  }

  bool Split(int k, int i) {
    Box& p = boxes[size_t(k)];
    if (p.variance == 0 || p.count == 0) {
      p.variance = 0;
      return false;
    }
    constexpr double kCannot = 17523.6;
    Box f[3], s[3];
    double score[3];
    for (int c = 0; c < 3; ++c)
      score[c] = Cut(p, c, f[c], s[c]) ? f[c].variance + s[c].variance : kCannot;
    int pick = -1;
    for (int c = 0; c < 3 && pick < 0; ++c)
      if (score[c] < kCannot && score[c] <= score[(c + 1) % 3] && score[c] <= score[(c + 2) % 3])
        pick = c;
    if (pick < 0) {
      p.variance = 0;
      return false;
    }
    boxes[size_t(k)] = f[pick];
    boxes[size_t(i)] = s[pick];
    return true;
  }

  void Build(TVlBitmap& image, int colours, TVlRGB* palette) {
    n = colours;
    total = double(image.Width()) * image.Height();
    Box& b0 = boxes[0];
    for (std::int32_t y = 0; y < image.Height(); ++y) {
      const std::uint8_t* row = image.RowPointer(y);
      for (std::int32_t x = 0; x < image.Width(); ++x) {
        int b = row[3 * x] >> 3, g = row[3 * x + 1] >> 3, r = row[3 * x + 2] >> 3;
        ++hist3[size_t(Bin(r, g, b))];
        ++b0.hist[0][r];
        ++b0.hist[1][g];
        ++b0.hist[2][b];
      }
    }
    b0.count = std::int32_t(std::min<double>(total, INT32_MAX));
    Stats(b0);
    int i = 1;
    while (i < n) {
      int k = -1;
      double best = 0;
      for (int j = 0; j < i; ++j)
        if (boxes[size_t(j)].variance > best) {
          best = boxes[size_t(j)].variance;
          k = j;
        }
      if (k < 0)
        break;
      if (Split(k, i))
        ++i;
    }
    made = i;
    for (int j = 0; j < made; ++j) {
      const Box& b = boxes[size_t(j)];
      palette[j] = {std::uint8_t(std::clamp(RoundHalfEven(b.mean[2]) * 8, 0, 255)),
                    std::uint8_t(std::clamp(RoundHalfEven(b.mean[1]) * 8, 0, 255)),
                    std::uint8_t(std::clamp(RoundHalfEven(b.mean[0]) * 8, 0, 255))};
      for (int r = b.lo[0]; r < b.hi[0]; ++r)
        for (int g = b.lo[1]; g < b.hi[1]; ++g)
          for (int bl = b.lo[2]; bl < b.hi[2]; ++bl)
            map[size_t(Bin(r, g, bl))] = std::uint8_t(j);
    }
  }

  std::int32_t Map(TVlRGB c) const { return map[size_t(Bin(c.r >> 3, c.g >> 3, c.b >> 3))]; }
};

// ===================================================================== neural network

struct TVlQuantizer::NeuralState {
  int n = 0;
  std::vector<std::array<std::int32_t, 4>> net;  // blue, green, red, palette index
  std::vector<std::int32_t> bias, freq, weight;
  std::int32_t greenStart[256] = {};

  void Build(TVlBitmap& image, int colours, TVlRGB* palette) {
    n = colours;
    const std::int64_t W = image.Width(), H = image.Height(), pixels = W * H;
    net.assign(size_t(n), {});
    bias.assign(size_t(n), 0);
    freq.assign(size_t(n), 65536 / n);
    weight.assign(size_t(std::max(1, n / 8)), 0);
    for (int i = 0; i < n; ++i) {
      std::int32_t v = std::int32_t(std::int64_t(i) * 4096 / n);
      net[size_t(i)] = {v, v, v, 0};
    }
    int f = 1;
    if (pixels >= 2000)
      f = std::clamp(RoundHalfEven((13.0 * double(pixels) - 26000.0) / 148000.0 + 2.0), 1, 30);
    const int decay = 30 + (f - 1) / 3;
    const std::int64_t samples = (3 * pixels) / (3 * f);
    std::int64_t period = samples / 100;
    if (period == 0)
      period = 1;
    std::int32_t alpha = 1024;
    std::int32_t radius = (n / 8) * 64;
    std::int32_t reach = radius > 127 ? radius / 64 : 0;
    auto setWeights = [&](std::int64_t scale) {
      for (std::int32_t j = 0; j < reach && j < std::int32_t(weight.size()); ++j)
        weight[size_t(j)] = std::int32_t(scale * (((std::int64_t(reach) * reach - std::int64_t(j) * j) * 256) /
                                                  (std::int64_t(reach) * reach)));
    };
    for (std::int32_t j = 0; j < reach && j < std::int32_t(weight.size()); ++j)
      weight[size_t(j)] = std::int32_t(((std::int64_t(reach) * reach - std::int64_t(j) * j) * 256) /
                                       (std::int64_t(reach) * reach) * 1024);
    const std::int64_t bytes = 3 * pixels;
    std::int64_t step = 499;
    if (bytes % 499 == 0) {
      step = 491;
      if (bytes % 491 == 0) {
        step = 487;
        if (bytes % 487 == 0)
          step = 503;
      }
    }
    std::int64_t pos = 0;
    for (std::int64_t s = 0; s < samples; ++s) {
      std::int32_t y = std::int32_t(pos / W), x = std::int32_t(pos % W);
      const std::uint8_t* px = image.RowPointer(y) + 3 * x;
      const std::int32_t b = px[0] << 4, g = px[1] << 4, r = px[2] << 4;
      // Contest: the closest neuron and the best biased one.
      std::int32_t bestd = INT32_MAX, bestbiasd = INT32_MAX;
      int bestpos = 0, bestbiaspos = 0;
      for (int i = 0; i < n; ++i) {
        auto& q = net[size_t(i)];
        std::int32_t dist = std::abs(q[0] - b) + std::abs(q[1] - g) + std::abs(q[2] - r);
        if (dist < bestd) {
          bestd = dist;
          bestpos = i;
        }
        std::int32_t biasdist = dist - (bias[size_t(i)] >> 12);
        if (biasdist < bestbiasd) {
          bestbiasd = biasdist;
          bestbiaspos = i;
        }
        std::int32_t betafreq = freq[size_t(i)] >> 10;
        freq[size_t(i)] -= betafreq;
        bias[size_t(i)] += betafreq << 10;
      }
      freq[size_t(bestpos)] += 64;
      bias[size_t(bestpos)] -= 65536;
      const int winner = bestbiaspos;
      {
        auto& q = net[size_t(winner)];
        q[0] -= (q[0] - b) * alpha / 1024;
        q[1] -= (q[1] - g) * alpha / 1024;
        q[2] -= (q[2] - r) * alpha / 1024;
      }
      if (reach > 0) {
        int hi = std::min(n, winner + reach), lo = std::max(winner - reach, -1);
        int j = winner + 1, k = winner - 1, m = 1;
        while (j < hi || k > lo) {
          std::int64_t a = weight[size_t(std::min<int>(m, int(weight.size()) - 1))];
          ++m;
          for (int* idx : {&j, &k}) {
            bool up = idx == &j;
            if (up ? (j < hi) : (k > lo)) {
              auto& q = net[size_t(*idx)];
              q[0] -= std::int32_t(a * (q[0] - b) / 262144);
              q[1] -= std::int32_t(a * (q[1] - g) / 262144);
              q[2] -= std::int32_t(a * (q[2] - r) / 262144);
              *idx += up ? 1 : -1;
            }
          }
        }
      }
      // The walk wraps around the image; a modulo keeps it inside even when the image is
      // smaller than the step.
      pos = (pos + step) % pixels;
      if ((s + 1) % period == 0) {
        alpha -= alpha / decay;
        radius -= radius / 30;
        reach = radius > 127 ? radius / 64 : 0;
        setWeights(alpha);
      }
    }
    for (int i = 0; i < n; ++i) {
      auto& q = net[size_t(i)];
      for (int c = 0; c < 3; ++c)
        q[size_t(c)] = std::clamp(q[size_t(c)] / 16, 0, 255);
      q[3] = i;
      palette[i] = {std::uint8_t(q[0]), std::uint8_t(q[1]), std::uint8_t(q[2])};
    }
    // Index by green: selection sort, then the start table.
    int previous = 0, start = 0;
    for (int i = 0; i < n; ++i) {
      int small = i;
      std::int32_t smallval = net[size_t(i)][1];
      for (int j = i + 1; j < n; ++j)
        if (net[size_t(j)][1] < smallval) {
          small = j;
          smallval = net[size_t(j)][1];
        }
      if (small != i)
        std::swap(net[size_t(i)], net[size_t(small)]);
      if (smallval != previous) {
        greenStart[previous] = (start + i) / 2;
        for (int v = previous + 1; v < smallval; ++v)
          greenStart[v] = i;
        previous = smallval;
        start = i;
      }
    }
    greenStart[previous] = (start + n - 1) / 2;
    for (int v = previous + 1; v < 256; ++v)
      greenStart[v] = n - 1;
  }

  std::int32_t Map(TVlRGB c) const {
    const std::int32_t b = c.b, g = c.g, r = c.r;
    std::int32_t bestd = 1000, best = -1;
    int i = greenStart[g], j = i - 1;
    while (i < n || j >= 0) {
      if (i < n) {
        const auto& p = net[size_t(i)];
        std::int32_t dist = p[1] - g;
        if (dist >= bestd) {
          i = n;
        } else {
          ++i;
          dist = std::abs(dist) + std::abs(p[0] - b);
          if (dist < bestd) {
            dist += std::abs(p[2] - r);
            if (dist < bestd) {
              bestd = dist;
              best = p[3];
            }
          }
        }
      }
      if (j >= 0) {
        const auto& p = net[size_t(j)];
        std::int32_t dist = g - p[1];
        if (dist >= bestd) {
          j = -1;
        } else {
          --j;
          dist = std::abs(dist) + std::abs(p[0] - b);
          if (dist < bestd) {
            dist += std::abs(p[2] - r);
            if (dist < bestd) {
              bestd = dist;
              best = p[3];
            }
          }
        }
      }
    }
    return best;
  }
};

// ===================================================================== the object

TVlQuantizer::TVlQuantizer(TVlBitmap& image, int method, int /*quality*/, int n, TVlRGB* palette)
    : image_(image), method_(method), n_(std::clamp(n, 1, 256)) {
  isGray_ = image.IsAllGray();
  if (isGray_ || image.PixelFormat() != vl24RGB) {
    if (image.PixelFormat() == vl8p) {
      for (int i = 0; i < n_; ++i)
        image.PaletteColor(i, palette[i]);
    } else if (isGray_) {
      for (int q = 0; q < n_; ++q) {
        std::uint8_t v = std::uint8_t(std::min(255.0, std::trunc(256.0 / n_ * q)));
        palette[q] = {v, v, v};
      }
    }
    return;
  }
  // Exact palette: distinct colours in order of first appearance, giving up at the (n+1)-th.
  {
    std::unordered_map<std::uint32_t, int> seen;
    seen.reserve(size_t(n_) * 2);
    bool fits = true;
    for (std::int32_t y = 0; y < image.Height() && fits; ++y) {
      const std::uint8_t* row = image.RowPointer(y);
      std::uint32_t last = 0xFFFFFFFF;
      for (std::int32_t x = 0; x < image.Width(); ++x) {
        TVlRGB c{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
        std::uint32_t k = Key(c);
        if (k == last)
          continue;
        last = k;
        if (seen.find(k) != seen.end())
          continue;
        if (int(exact_.size()) == n_) {
          fits = false;
          break;
        }
        seen.emplace(k, int(exact_.size()));
        exact_.push_back(c);
      }
    }
    if (fits) {
      hasExact_ = true;
      std::copy(exact_.begin(), exact_.end(), palette);
      exactIndex_ = std::move(seen);
      return;
    }
    exact_.clear();
  }
  method_ = n_ < 128 ? 1 : 0;
  if (method_ == 1) {
    box_ = std::make_unique<BoxState>();
    box_->Build(image, n_, palette);
  } else {
    neural_ = std::make_unique<NeuralState>();
    neural_->Build(image, n_, palette);
  }
}

TVlQuantizer::~TVlQuantizer() = default;

std::int32_t TVlQuantizer::MapColour(TVlRGB c) const {
  if (hasExact_) {
    auto it = exactIndex_.find(Key(c));
    return it == exactIndex_.end() ? -1 : it->second;
  }
  if (isGray_)
    return std::int32_t(std::trunc(double(c.r) * n_ / 256.0));
  if (neural_)
    return neural_->Map(c);
  if (box_)
    return box_->Map(c);
  if (image_.PixelFormat() == vl8p) {
    for (std::int32_t i = 0; i < image_.PaletteUsed(); ++i) {
      TVlRGB e;
      image_.PaletteColor(i, e);
      if (e == c)
        return i;
    }
    return image_.PaletteUsed();
  }
  return 0;
}

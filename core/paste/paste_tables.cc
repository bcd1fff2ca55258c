#include "core/paste/paste_tables.h"

#include <cmath>

namespace le::paste {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Keys cubic convolution kernel with a = -0.75, in Horner form.
double keys(double x) {
  if (x < 1.0) return ((1.25 * x - 2.25) * x) * x + 1.0;
  return ((-0.75 * x + 3.75) * x - 6.0) * x + 3.0;
}

}  // namespace

std::vector<float> lanczos8Table() {
  std::vector<float> table(kPhases * 8, 0.0f);
  table[3] = 1.0f;  // phase 0 lands exactly on a sample
  for (int j = 1; j < kPhases; ++j) {
    const double t = j / double(kPhases);
    double raw[8];
    double sum = 0.0;
    for (int i = 0; i < 8; ++i) {
      const double x = t + 3 - i;  // never an integer for j >= 1
      raw[i] = std::sin(kPi * x) * std::sin(kPi * x / 4) / (x * x);
      sum += raw[i];
    }
    for (int i = 0; i < 8; ++i) table[j * 8 + i] = float(raw[i] / sum);
  }
  return table;
}

std::vector<float> bilinearTable() {
  std::vector<float> table(kPhases * 2);
  for (int j = 0; j < kPhases; ++j) {
    const double t = j / double(kPhases);
    table[j * 2] = float(1.0 - t);
    table[j * 2 + 1] = float(t);
  }
  return table;
}

std::vector<float> bicubicTable() {
  std::vector<float> table(kPhases * 4);
  for (int j = 0; j < kPhases; ++j) {
    const double t = j / double(kPhases);
    const double w0 = keys(1.0 + t);
    const double w1 = keys(t);
    const double w2 = keys(1.0 - t);
    const double w3 = 1.0 - w0 - w1 - w2;
    table[j * 4] = float(w0);
    table[j * 4 + 1] = float(w1);
    table[j * 4 + 2] = float(w2);
    table[j * 4 + 3] = float(w3);
  }
  return table;
}

std::vector<float> gaussianKernel(float sigma, int ksize) {
  std::vector<float> g(ksize > 0 ? ksize : 0, 0.0f);
  if (g.empty()) return g;
  const int c = (ksize - 1) / 2;
  if (!(sigma > 0.0f)) {
    // exp(-x / 0) would make the centre tap 0/0; the limit is no blur.
    g[c] = 1.0f;
    return g;
  }
  const double s = sigma;
  std::vector<double> raw(ksize);
  double sum = 0.0;
  for (int i = 0; i < ksize; ++i) {
    const double d = i - c;
    raw[i] = std::exp(-(d * d) / (2.0 * s * s));
    sum += raw[i];
  }
  for (int i = 0; i < ksize; ++i) g[i] = float(raw[i] / sum);
  return g;
}

}  // namespace le::paste

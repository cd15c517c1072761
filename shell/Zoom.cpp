#include "Zoom.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace zormak::zoom {

namespace {

constexpr std::array<double, 13> kSteps{0.5,  0.67, 0.75, 0.8, 0.9, 1.0, 1.1,
                                        1.25, 1.5,  1.75, 2.0, 2.5, 3.0};
// Levels come back from the engine and from text; a hair's difference from
// a step is the step.
constexpr double kSame = 1e-3;

}  // namespace

double stepIn(double level) {
  level = sanitized(level);
  for (double step : kSteps) {
    if (step > level + kSame)
      return step;
  }
  return kMaximum;
}

double stepOut(double level) {
  level = sanitized(level);
  for (auto it = kSteps.rbegin(); it != kSteps.rend(); ++it) {
    if (*it < level - kSame)
      return *it;
  }
  return kMinimum;
}

double sanitized(double level) {
  if (!std::isfinite(level))
    return kActualSize;
  return std::clamp(level, kMinimum, kMaximum);
}

}  // namespace zormak::zoom

#pragma once

namespace zormak::zoom {

// The page zoom moves in the steps browsers use, from 50 % to 300 %.
inline constexpr double kMinimum = 0.5;
inline constexpr double kMaximum = 3.0;
inline constexpr double kActualSize = 1.0;

// The next step above or below `level`; a level between two steps goes to
// the neighbouring one, and the ends stay where they are.
double stepIn(double level);
double stepOut(double level);

// A level read back from disk, made usable: inside the range, and the
// actual size for anything that is not a finite number.
double sanitized(double level);

}  // namespace zormak::zoom

#pragma once

#include <cmath>

namespace tallyfold {

// Layouts are given in twips; 15 twips are one pixel at 96 dots per inch.
constexpr double TwipsPerPixel = 15.0;
inline int px(double twips) {
    return int(std::lround(twips / TwipsPerPixel));
}
// The same at a scale below 1, for a screen with less room than the design.
inline int px(double twips, double scale) {
    return int(std::lround(twips / TwipsPerPixel * scale));
}

}  // namespace tallyfold

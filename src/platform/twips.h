#pragma once

#include <cmath>

namespace tallyfold {

// Layouts are given in twips; 15 twips are one pixel at 96 dots per inch.
constexpr double TwipsPerPixel = 15.0;
inline int px(double twips) {
    return int(std::lround(twips / TwipsPerPixel));
}

}  // namespace tallyfold

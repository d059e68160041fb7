// The small textual forms of the command line that are not parameters: image sizes, frame ranges
// and the frame-number pattern of output file names.
#pragma once

#include "engine/Bake.h"

#include <string>
#include <vector>

namespace tamrel::host {

// "WxH" or "N" (square). False for anything else, for a zero or negative edge or one above
// kMaxImageEdge.
bool ParseImageSize(const std::string& text, int& width, int& height);

// "X,Y": whole pixels, each from -kMaxOffset to kMaxOffset. False for anything else.
bool ParseOffset(const std::string& text, int& x, int& y);

// "A-B" (A <= B) or "N", frame numbers from 0 to kMaxFrame. False for anything else.
bool ParseFrameRange(const std::string& text, int& first, int& last);

// "X0,Y0,X1,Y1": a pixel rectangle X0 <= x < X1, Y0 <= y < Y1 with X0 < X1 and Y0 < Y1, all
// numbers 0 or more. False for anything else (the bounds of the image are checked elsewhere).
bool ParseRegion(const std::string& text, int& x0, int& y0, int& x1, int& y1);

// "A,B" of two finite numbers. False for anything else.
bool ParseFloatPair(const std::string& text, float& a, float& b);

// A comma-separated list of names: "color,height, normal" gives three; empty entries and
// repeated names are refused (false, with the offending entry in bad).
bool ParseNameList(const std::string& text, std::vector<std::string>& names, std::string& bad);

}  // namespace tamrel::host

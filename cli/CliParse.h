// The small textual forms of the command line that are not parameters: image sizes, frame ranges
// and the frame-number pattern of output file names.
#pragma once

#include <string>
#include <vector>

namespace tamrel::host {

// Largest image edge the host accepts; a colour raster of this size already takes 4 GiB.
inline constexpr int kMaxImageEdge = 16384;

// "WxH" or "N" (square). False for anything else, for a zero or negative edge or one above
// kMaxImageEdge.
bool ParseImageSize(const std::string& text, int& width, int& height);

// Largest view offset in pixels either way; pixel positions stay exact in float up to 2^24.
inline constexpr int kMaxOffset = 1048576;

// "X,Y": whole pixels, each from -kMaxOffset to kMaxOffset. False for anything else.
bool ParseOffset(const std::string& text, int& x, int& y);

// Last frame the host renders: its time in ticks must fit the SDK's int TimeValue.
inline constexpr int kMaxFrame = 1000000;

// "A-B" (A <= B) or "N", frame numbers from 0 to kMaxFrame. False for anything else.
bool ParseFrameRange(const std::string& text, int& first, int& last);

// True when the file name carries a run of '#' for the frame number.
bool HasFramePattern(const std::string& path);
// Replaces the last run of '#' in the file name (not the folders) by the frame number padded with
// zeros to the run's length; a name without one is returned as it is.
std::string ExpandFramePattern(const std::string& path, int frame);

// "X0,Y0,X1,Y1": a pixel rectangle X0 <= x < X1, Y0 <= y < Y1 with X0 < X1 and Y0 < Y1, all
// numbers 0 or more. False for anything else (the bounds of the image are checked elsewhere).
bool ParseRegion(const std::string& text, int& x0, int& y0, int& x1, int& y1);

// "A,B" of two finite numbers. False for anything else.
bool ParseFloatPair(const std::string& text, float& a, float& b);

// A comma-separated list of names: "color,height, normal" gives three; empty entries and
// repeated names are refused (false, with the offending entry in bad).
bool ParseNameList(const std::string& text, std::vector<std::string>& names, std::string& bad);

// True when the file name template holds "{map}".
bool HasMapPattern(const std::string& path);
// Replaces every "{map}" by the map's name.
std::string ExpandMapPattern(const std::string& path, const std::string& map);

}  // namespace tamrel::host

// The render engine: shades a raster in square tiles over worker threads. Every pixel is a pure
// function of its position, and each lands in its own slot, so the image is the same bits whatever
// the thread count or the order in which tiles are taken.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

namespace tamrel::host {

// A float raster, rows top to bottom, channels interleaved.
struct Raster {
  int width = 0, height = 0, channels = 0;
  std::vector<float> pixels;

  float* Pixel(int x, int y) {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
  const float* Pixel(int x, int y) const {
    return pixels.data() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
};

// Shades pixels x0 .. x1-1 of row y into out (channels floats per pixel). Called concurrently for
// disjoint spans; it must only read shared state.
using SpanShader = std::function<void(int y, int x0, int x1, float* out)>;

struct RenderOptions {
  int threads = 0;    // 0: one per hardware thread
  int tileSize = 32;  // pixels per tile edge
  // Called from the calling thread about ten times a second and once at the end.
  std::function<void(int tilesDone, int tilesTotal)> progress;
  // Set from anywhere to stop after the tiles in flight; the raster is then incomplete.
  const std::atomic<bool>* cancel = nullptr;
};

// Number of worker threads the options ask for on this machine.
int ResolveThreads(int requested);

// Renders width x height pixels of `channels` floats. Returns false when cancelled. A shader that
// throws stops the render, and the first exception is rethrown to the caller.
bool RenderRaster(Raster& raster, int width, int height, int channels, const SpanShader& shade,
                  const RenderOptions& options = {});
// The same into rows of `width * channels` floats at pixels, which the caller provides.
bool RenderRows(float* pixels, int width, int height, int channels, const SpanShader& shade,
                const RenderOptions& options = {});

}  // namespace tamrel::host

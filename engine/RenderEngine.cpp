// Tiles are handed out by an atomic counter; the calling thread reports progress while the
// workers shade.
#include "engine/RenderEngine.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace tamrel::host {

int ResolveThreads(int requested) {
  if (requested > 0) return requested;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<int>(hw);
}

bool RenderRaster(Raster& raster, int width, int height, int channels, const SpanShader& shade,
                  const RenderOptions& options) {
  raster.width = width;
  raster.height = height;
  raster.channels = channels;
  raster.pixels.assign(static_cast<std::size_t>(width) * height * channels, 0.0f);
  return RenderRows(raster.pixels.data(), width, height, channels, shade, options);
}

bool RenderRows(float* pixels, int width, int height, int channels, const SpanShader& shade,
                const RenderOptions& options) {
  if (width <= 0 || height <= 0) return true;
  const auto pixel = [&](int x, int y) {
    return pixels + (static_cast<std::size_t>(y) * width + x) * channels;
  };

  const int tile = std::max(1, options.tileSize);
  const int tilesX = (width + tile - 1) / tile;
  const int tilesY = (height + tile - 1) / tile;
  const int total = tilesX * tilesY;

  std::atomic<int> next{0}, done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorMutex;
  // Wakes the reporting thread when the last tile is done, so a short render never waits out a
  // whole progress interval.
  std::mutex doneMutex;
  std::condition_variable allDone;

  auto stop = [&] {
    return failed.load(std::memory_order_relaxed) ||
           (options.cancel && options.cancel->load(std::memory_order_relaxed));
  };

  auto worker = [&] {
    for (int t = next.fetch_add(1); t < total && !stop(); t = next.fetch_add(1)) {
      const int x0 = (t % tilesX) * tile, y0 = (t / tilesX) * tile;
      const int x1 = std::min(width, x0 + tile), y1 = std::min(height, y0 + tile);
      try {
        for (int y = y0; y < y1; ++y) shade(y, x0, x1, pixel(x0, y));
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!error) error = std::current_exception();
        failed = true;
      }
      if (done.fetch_add(1) + 1 == total) {
        std::lock_guard<std::mutex> lock(doneMutex);
        allDone.notify_all();
      }
    }
  };

  const int threads = std::min(ResolveThreads(options.threads), total);
  std::vector<std::thread> pool;
  pool.reserve(threads);
  for (int i = 0; i < threads; ++i) pool.emplace_back(worker);

  if (options.progress) {
    using namespace std::chrono_literals;
    std::unique_lock<std::mutex> lock(doneMutex);
    while (done.load() < total && !stop()) {
      options.progress(done.load(), total);
      allDone.wait_for(lock, 100ms, [&] { return done.load() >= total; });
    }
  }
  for (std::thread& th : pool) th.join();
  if (error) std::rethrow_exception(error);
  const bool cancelled = options.cancel && options.cancel->load() && done.load() < total;
  if (options.progress && !cancelled) options.progress(total, total);
  return !cancelled;
}

}  // namespace tamrel::host

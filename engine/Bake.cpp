// The bake reaches the pattern only through the map's shading interfaces: its baking interface
// gives, per sample, the colour EvalColor would give together with the intensity under it, the
// grain of the winning strand and the footprint in pattern units, so one evaluation fills every
// map. Samples are summed per pixel in a fixed order; the maps are derived from the sums.
#include "engine/Bake.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "engine/MapWork.h"
#include "engine/SampleSource.h"
#include "maxapi.h"
#include "texbake.h"
#include "textile.h"

namespace tamrel::host {
namespace {

// What a pixel's samples add up to, channel by channel.
enum SumChannel : int {
  SUM_R,
  SUM_G,
  SUM_B,
  SUM_A,       // colour (lit on the sphere, the backdrop where it is missed)
  SUM_MONO,    // the colour's mean, lit likewise
  SUM_HEIGHT,  // the scratch intensity
  SUM_GRAIN_C,
  SUM_GRAIN_S,  // the grain's tangent-space direction at twice its angle
  SUM_FOOT_X,
  SUM_FOOT_Y,  // the pixel's footprint in pattern units
  SUM_COVER,   // the share of samples that show the surface
  // The UV island all the pixel's samples show, as the bits of an int (-1: none, or more than
  // one, or not all samples covered, or a source without tangent frames).
  SUM_ISLAND,
  // A source without tangent frames sums only the channels above: its window's pixels are this
  // many floats, a third of the bake's memory traffic of the whole set.
  SUM_PLAIN_CHANNELS,
  SUM_SLOPE_T = SUM_PLAIN_CHANNELS,
  SUM_SLOPE_B,  // sources with tangent frames: the height's slope along tangent and bitangent
  // Sources with tangent frames: the means of the unit pixel axes on the surface (across, and up
  // the image) and of the tangent frame.
  SUM_EX,
  SUM_EY = SUM_EX + 3,
  SUM_TAN = SUM_EY + 3,
  SUM_BIT = SUM_TAN + 3,
  SUM_CHANNELS = SUM_BIT + 3
};

inline bool SameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

float Encode(float v) {
  return std::clamp(v * 0.5f + 0.5f, 0.0f, 1.0f);
}

// The samples of one group of neighbouring pixels and their results, and the neighbours of
// each on its own surface when normals are taken from them.
struct GroupBuffers {
  SampleRun run;
  std::vector<ShadeContext*> shaded;
  std::vector<TexBakeSample> results;
  std::vector<BOOL> answered;

  void Reserve(std::size_t n, bool neighbours) {
    run.wantNeighbours = neighbours;
    run.Reserve(n);
    const std::size_t m = neighbours ? 5 * n : n;
    if (shaded.size() >= m) return;
    shaded.resize(m);
    results.resize(m);
    answered.resize(m);
  }
};

// The slope of a height along the tangent and bitangent, in height per pattern unit, from its
// slopes du and dv along the unit pixel axes ex (across) and ey (up the image) on the surface:
// the gradient across the surface that has those slopes, read in the tangent frame. Pixel axes
// that are nearly parallel give no slope.
void SlopesInFrame(float du, float dv, const Point3& ex, const Point3& ey, const Point3& tangent,
                   const Point3& bitangent, float& slopeT, float& slopeB) {
  slopeT = slopeB = 0.0f;
  const float c = DotProd(ex, ey);
  const float det = 1.0f - c * c;
  if (!(det > 1e-6f)) return;
  const float a = (du - c * dv) / det, b = (dv - c * du) / det;
  const Point3 g = ex * a + ey * b;
  slopeT = DotProd(g, tangent);
  slopeB = DotProd(g, bitangent);
  if (!std::isfinite(slopeT) || !std::isfinite(slopeB)) slopeT = slopeB = 0.0f;
}

// The unit pixel axes of a sample on its surface: across the image, and up it (rows run down).
bool PixelAxes(const Point3& dpdx, const Point3& dpdy, Point3& ex, Point3& ey) {
  const float lx = Length(dpdx), ly = Length(dpdy);
  if (!(lx > 0.0f) || !(ly > 0.0f) || !std::isfinite(lx) || !std::isfinite(ly)) return false;
  ex = dpdx / lx;
  ey = -dpdy / ly;
  return true;
}

// A sample's slopes from the heights one pixel to either side of it on its own surface (left,
// right, up, down).
void StencilSlopes(const SampleShadeContext& sc, const TexBakeSample& s, float footprint,
                   const TexBakeSample* nb, const Point3& tangent, const Point3& bitangent,
                   float& slopeT, float& slopeB) {
  slopeT = slopeB = 0.0f;
  const float fx = s.footprint[0] / footprint, fy = s.footprint[1] / footprint;
  const float du = fx > 0.0f ? (nb[1].intensity - nb[0].intensity) / (2.0f * fx) : 0.0f;
  const float dv = fy > 0.0f ? (nb[2].intensity - nb[3].intensity) / (2.0f * fy) : 0.0f;
  Point3 ex, ey;
  if (PixelAxes(sc.dpdx, sc.dpdy, ex, ey)) SlopesInFrame(du, dv, ex, ey, tangent, bitangent, slopeT, slopeB);
}

int IslandOf(const float* p) {
  int island;
  std::memcpy(&island, p + SUM_ISLAND, sizeof island);
  return island;
}

void SetIsland(float* p, int island) { std::memcpy(p + SUM_ISLAND, &island, sizeof island); }

Point3 Channel3(const float* p, int c) { return Point3(p[c], p[c + 1], p[c + 2]); }
void Add3(float* p, int c, const Point3& v) {
  p[c] += v.x;
  p[c + 1] += v.y;
  p[c + 2] += v.z;
}

// Everything one row of pixels needs, shared read-only by the render threads.
struct RowShader {
  Texmap* map;
  ITexBake* bake;
  const SampleSource* source;
  int samples;
  float footprint;  // of one sample, in pixels
  bool lit, grain;
  bool frames;       // the source's own tangent frames
  int channels;      // floats a pixel's sums take: SUM_CHANNELS with frames, else the plain ones
  bool coveredMean;  // pixels average their covered samples only
  float bumpScale;
  const std::atomic<bool>* cancel;
  // Samples evaluated in one call. Only a map without sub-maps is known to take little time a
  // sample; any other map goes one sample at a time, so that an interrupt is seen at once.
  int groupSamples;
  // The source fills arrays and the map is handed runs of them (ITexBake::EvalBakeRun) rather
  // than shade contexts; rows with neighbours still take contexts.
  bool arrays = false;
  bool colourOnly = false;  // the maps read nothing but the colour sums

  // Sums the samples of pixels x0 .. x1-1 of image row y into out (`channels` floats each).
  // Pixels may lie outside the image: the plane goes on beyond its edges. The samples of a group
  // of neighbouring pixels are evaluated in one call, then summed per pixel in sample order.
  // With stencil (sources with frames), each sample's slopes are also taken from its neighbours
  // on its own surface.
  void ShadeRow(int y, int x0, int x1, float* out, bool stencil = false) const {
    const bool neighbours = stencil;
    const int groupPixels = std::max(1, groupSamples / samples);  // whole pixels at least
    const std::size_t capacity = static_cast<std::size_t>(groupPixels) * samples;
    // Each render thread keeps its group's buffers from row to row: building the shading
    // contexts anew for every row of a tile cost a third of a bake. Every entry a group uses is
    // written before it is read (the source resets each context it fills).
    thread_local GroupBuffers buffers;
    const bool batch = arrays && !neighbours;
    buffers.run.wantArrays = batch;
    buffers.Reserve(capacity, neighbours);
    SampleRun& run = buffers.run;
    std::vector<ShadeContext*>& shaded = buffers.shaded;
    std::vector<TexBakeSample>& results = buffers.results;
    std::vector<BOOL>& answered = buffers.answered;
    for (int gx = x0; gx < x1; gx += groupPixels) {
      // Checked for every group: a scene's maps may take long for one sample, and an interrupt
      // should not wait for a whole tile.
      if (cancel && cancel->load(std::memory_order_relaxed)) return;
      const int gEnd = std::min(x1, gx + groupPixels);
      source->Fill(y, gx, gEnd, run);
      const int inGroup = (gEnd - gx) * samples;
      int count = 0;
      if (batch) {
        // The covered samples are the arrays' entries in order.
        const TexBakeRun whole = run.arrays.Run();
        count = whole.count;
        for (int first = 0; first < count; first += groupSamples) {
          if (first > 0 && cancel && cancel->load(std::memory_order_relaxed)) return;
          const int n = std::min(groupSamples, count - first);
          bake->EvalBakeRun(whole.Slice(first, n), results.data() + first,
                            answered.data() + first, grain ? TRUE : FALSE);
        }
      } else {
        for (int k = 0; k < inGroup; ++k) {
          if (run.covered[k]) shaded[count++] = &run.contexts[k];
        }
        for (int first = 0; first < count; first += groupSamples) {
          if (first > 0 && cancel && cancel->load(std::memory_order_relaxed)) return;
          bake->EvalBakeSamples(shaded.data() + first, std::min(groupSamples, count - first),
                                results.data() + first, answered.data() + first,
                                grain ? TRUE : FALSE);
        }
      }
      // The neighbours of every covered sample, after the samples themselves: results[count +
      // 4 * j ...] belong to the j-th covered sample.
      if (neighbours) {
        int n = count;
        for (int k = 0; k < inGroup; ++k) {
          if (!run.covered[k]) continue;
          for (int d = 0; d < 4; ++d) shaded[n++] = &run.neighbours[4 * k + d];
        }
        for (int first = count; first < n; first += 4 * groupSamples) {
          if (cancel && cancel->load(std::memory_order_relaxed)) return;
          bake->EvalBakeSamples(shaded.data() + first, std::min(4 * groupSamples, n - first),
                                results.data() + first, answered.data() + first, FALSE);
        }
      }
      if (batch && !frames) {
        out = colourOnly ? SumPlain<true>(y, gx, gEnd, run, results.data(), out)
                         : SumPlain<false>(y, gx, gEnd, run, results.data(), out);
        continue;
      }
      for (int x = gx, k = 0, j = 0; x < gEnd; ++x, out += channels) {
        std::fill(out, out + channels, 0.0f);
        int coveredSamples = 0;
        int island = -1;
        bool oneIsland = true;
        for (int i = 0; i < samples; ++i, ++k) {
          if (!run.covered[k]) {
            oneIsland = false;
            float grey, alpha;
            source->Uncovered(x, y, grey, alpha);
            out[SUM_R] += grey;
            out[SUM_G] += grey;
            out[SUM_B] += grey;
            out[SUM_A] += alpha;
            out[SUM_MONO] += grey;
            continue;
          }
          const int sampleIndex = j++;
          const TexBakeSample& s = results[sampleIndex];
          ++coveredSamples;
          float shading = 1.0f;
          if (lit) {
            // The sphere is lit with the map's bump, a camera-space perturbation; camera and
            // object axes coincide here.
            run.contexts[k].ClearCache();
            shading = SphereDiffuse(
                BentNormal(run.normals[k], map->EvalNormalPerturb(run.contexts[k]), bumpScale));
          }
          out[SUM_R] += s.color.r * shading;
          out[SUM_G] += s.color.g * shading;
          out[SUM_B] += s.color.b * shading;
          out[SUM_A] += lit ? 1.0f : s.color.a;
          out[SUM_MONO] += (s.color.g + s.color.r + s.color.b) / 3.0f * shading;
          out[SUM_HEIGHT] += s.intensity;
          out[SUM_COVER] += 1.0f;
          // On the plane footprint x is the tangent, footprint y the bitangent downwards; a
          // source with frames gives the grain's direction on the surface in its own. A grain has
          // no heading, so directions are summed at twice their angle, where opposite ones agree.
          float tx = s.direction.x, ty = -s.direction.y;
          if (frames) {
            const Point3& dpdx =
                batch ? run.arrays.dpdx[sampleIndex] : run.contexts[k].dpdx;
            const Point3& dpdy =
                batch ? run.arrays.dpdy[sampleIndex] : run.contexts[k].dpdy;
            if (i > 0 && run.islands[k] != island) oneIsland = false;
            island = run.islands[k];
            Point3 ex, ey;
            if (PixelAxes(dpdx, dpdy, ex, ey)) {
              Add3(out, SUM_EX, ex);
              Add3(out, SUM_EY, ey);
            }
            Add3(out, SUM_TAN, run.tangents[k]);
            Add3(out, SUM_BIT, run.bitangents[k]);
            const Point3 d = dpdx * s.direction.x + dpdy * s.direction.y;
            tx = DotProd(d, run.tangents[k]);
            ty = DotProd(d, run.bitangents[k]);
            const float len = std::sqrt(tx * tx + ty * ty);
            if (len > 0.0f && std::isfinite(len)) {
              tx /= len;
              ty /= len;
            } else {
              tx = ty = 0.0f;
            }
          }
          out[SUM_GRAIN_C] += tx * tx - ty * ty;
          out[SUM_GRAIN_S] += 2.0f * tx * ty;
          out[SUM_FOOT_X] += s.footprint[0] / footprint;
          out[SUM_FOOT_Y] += s.footprint[1] / footprint;
          if (neighbours) {
            float st, sb;
            StencilSlopes(run.contexts[k], s, footprint, &results[count + 4 * sampleIndex],
                          run.tangents[k], run.bitangents[k], st, sb);
            out[SUM_SLOPE_T] += st;
            out[SUM_SLOPE_B] += sb;
          }
        }
        const float inv = 1.0f / static_cast<float>(samples);
        // A padded source's pixel is the mean of what its covered samples show; every other
        // source's takes in what its uncovered samples show too.
        const float mean = !coveredMean          ? inv
                           : coveredSamples > 0 ? 1.0f / static_cast<float>(coveredSamples)
                                                : 0.0f;
        // Every channel but the grain's and the island by the mean, the coverage by the share.
        static_assert(SUM_GRAIN_C == SUM_HEIGHT + 1 && SUM_FOOT_X == SUM_GRAIN_S + 1 &&
                      SUM_COVER == SUM_FOOT_Y + 1 && SUM_ISLAND == SUM_COVER + 1);
        for (int c = 0; c < SUM_GRAIN_C; ++c) out[c] *= mean;
        out[SUM_FOOT_X] *= mean;
        out[SUM_FOOT_Y] *= mean;
        out[SUM_COVER] *= inv;
        for (int c = SUM_SLOPE_T; c < channels; ++c) out[c] *= mean;
        SetIsland(out, frames && oneIsland ? island : -1);
      }
    }
  }

  // The sums of pixels x0 .. x1-1 of row y from samples without frames, lighting or neighbours
  // (the plane's), added in the order and scaled as ShadeRow does, in registers rather than
  // through the pixel (kept out of ShadeRow, whose registers it would share). Returns the pixel
  // after the last.
  // kColourOnly: the bake's maps read the colour alone, and the other sums stay 0.
  template <bool kColourOnly>
  [[gnu::noinline]] float* SumPlain(int y, int x0, int x1, const SampleRun& run,
                                    const TexBakeSample* results, float* out) const {
    // Read once: stores through out could otherwise be taken to change them.
    const int perPixel = samples;
    const float side = footprint;
    const bool meanOfCovered = coveredMean;
    const char* covered = run.covered.data();
    const float inv = 1.0f / static_cast<float>(perPixel);
    // A run's samples mostly share their footprint: its quotients are kept while its bits stay.
    float lastX = 0.0f, lastY = 0.0f, quotientX = 0.0f / side, quotientY = 0.0f / side;
    const auto per = [side](float v, float& last, float& quotient) {
      if (!SameBits(v, last)) {
        last = v;
        quotient = v / side;
      }
      return quotient;
    };
    for (int x = x0, k = 0; x < x1; ++x, out += SUM_PLAIN_CHANNELS) {
      float r = 0.0f, g = 0.0f, b = 0.0f, a = 0.0f, mono = 0.0f, height = 0.0f;
      float grainC = 0.0f, grainS = 0.0f, footX = 0.0f, footY = 0.0f, cover = 0.0f;
      int coveredSamples = 0;
      for (int i = 0; i < perPixel; ++i, ++k) {
        if (!covered[k]) {
          float grey, alpha;
          source->Uncovered(x, y, grey, alpha);
          r += grey;
          g += grey;
          b += grey;
          a += alpha;
          mono += grey;
          continue;
        }
        const TexBakeSample& s = *results++;
        ++coveredSamples;
        r += s.color.r;
        g += s.color.g;
        b += s.color.b;
        a += s.color.a;
        cover += 1.0f;
        if constexpr (!kColourOnly) {
          mono += (s.color.g + s.color.r + s.color.b) / 3.0f;
          height += s.intensity;
          const float tx = s.direction.x, ty = -s.direction.y;
          grainC += tx * tx - ty * ty;
          grainS += 2.0f * tx * ty;
          footX += per(s.footprint[0], lastX, quotientX);
          footY += per(s.footprint[1], lastY, quotientY);
        }
      }
      const float mean = !meanOfCovered         ? inv
                         : coveredSamples > 0 ? 1.0f / static_cast<float>(coveredSamples)
                                              : 0.0f;
      out[SUM_R] = r * mean;
      out[SUM_G] = g * mean;
      out[SUM_B] = b * mean;
      out[SUM_A] = a * mean;
      out[SUM_MONO] = mono * mean;
      out[SUM_HEIGHT] = height * mean;
      out[SUM_GRAIN_C] = grainC;
      out[SUM_GRAIN_S] = grainS;
      out[SUM_FOOT_X] = footX * mean;
      out[SUM_FOOT_Y] = footY * mean;
      out[SUM_COVER] = cover * inv;
      SetIsland(out, -1);
    }
    return out;
  }
};

// The slopes of window pixel (wx, wy), image pixel (x, y), into out: from the heights of its
// four neighbours where they all show the same UV island as every sample of the pixel (the
// neighbouring points of the surface), else from each sample's own neighbours on its surface,
// shaded anew. Neighbours across an island's border show other parts of the surface or none.
void PixelSlopes(const RowShader& shader, const Raster& window, int wx, int wy, int x, int y,
                 float* out) {
  out[0] = out[1] = 0.0f;
  const float* p = window.Pixel(wx, wy);
  if (!(p[SUM_COVER] > 0.0f)) return;
  const int island = IslandOf(p);
  const float* left = window.Pixel(wx - 1, wy);
  const float* right = window.Pixel(wx + 1, wy);
  const float* up = window.Pixel(wx, wy - 1);
  const float* down = window.Pixel(wx, wy + 1);
  if (island >= 0 && IslandOf(left) == island && IslandOf(right) == island &&
      IslandOf(up) == island && IslandOf(down) == island) {
    const float fx = p[SUM_FOOT_X], fy = p[SUM_FOOT_Y];
    const float du = fx > 0.0f ? (right[SUM_HEIGHT] - left[SUM_HEIGHT]) / (2.0f * fx) : 0.0f;
    const float dv = fy > 0.0f ? (up[SUM_HEIGHT] - down[SUM_HEIGHT]) / (2.0f * fy) : 0.0f;
    SlopesInFrame(du, dv, Normalize(Channel3(p, SUM_EX)), Normalize(Channel3(p, SUM_EY)),
                  Normalize(Channel3(p, SUM_TAN)), Normalize(Channel3(p, SUM_BIT)), out[0],
                  out[1]);
    return;
  }
  float sums[SUM_CHANNELS] = {};  // left so when the bake is cancelled
  shader.ShadeRow(y, x, x + 1, sums, true);
  out[0] = sums[SUM_SLOPE_T];
  out[1] = sums[SUM_SLOPE_B];
}

// The direction of a pixel's grain sums (c, s), at half their angle; (0, 0) where both are 0. The
// samples of a plane take a few grains, one a level, and neighbouring pixels mostly sum the same
// ones: the last directions are kept by the bits of their sums, which give the same bits again.
class GrainDirections {
 public:
  void Of(float c, float sn, float& dx, float& dy) {
    std::uint32_t cb, sb;
    std::memcpy(&cb, &c, sizeof cb);
    std::memcpy(&sb, &sn, sizeof sb);
    const std::uint64_t key = (static_cast<std::uint64_t>(cb) << 32) | sb;
    Entry& e = entries_[(key * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
    if (!e.used || e.key != key) {
      e.key = key;
      e.used = true;
      e.dx = e.dy = 0.0f;
      if (c != 0.0f || sn != 0.0f) {
        const float half = 0.5f * std::atan2(sn, c);
        e.dx = std::cos(half);
        e.dy = std::sin(half);
      }
    }
    dx = e.dx;
    dy = e.dy;
  }

 private:
  static constexpr int kBits = 5;
  struct Entry {
    std::uint64_t key = 0;
    bool used = false;
    float dx = 0.0f, dy = 0.0f;
  };
  Entry entries_[1 << kBits];
};

// Fills one map's band from the pixel sums; sums has a margin of `margin` pixels on every side.
// With the source's own tangent frames the normal comes from the pixel's slopes, else from its
// neighbours' heights. The kind is known at compile time: each map's loop is its own.
template <MapKind kind>
void FillMapOf(const BakeSettings& s, const Raster& sums, int margin, bool frames, Raster& band) {
  GrainDirections directions;
  // The encoded normal of the slopes (lastDu, lastDv), once there is one.
  bool known = false;
  float lastDu = 0.0f, lastDv = 0.0f, normal[3] = {};
  for (int y = 0; y < band.height; ++y) {
    for (int x = 0; x < band.width; ++x) {
      const float* p = sums.Pixel(x + margin, y + margin);
      float* out = band.Pixel(x, y);
      const float h = p[SUM_HEIGHT];
      switch (kind) {
        case MapKind::COLOR:
          std::copy(p, p + 4, out);
          break;
        case MapKind::MONO:
          out[0] = p[SUM_MONO];
          break;
        case MapKind::HEIGHT:
          out[0] = h;
          break;
        case MapKind::COVERAGE:
          out[0] = p[SUM_COVER];
          break;
        case MapKind::ROUGHNESS:
          // Intensity 0 is the middle of a scratch, 1 the untouched surface.
          out[0] = s.roughnessScratch * (1.0f - h) + s.roughnessSurface * h;
          break;
        case MapKind::ORM:
          out[0] = 1.0f;
          out[1] = s.roughnessScratch * (1.0f - h) + s.roughnessSurface * h;
          out[2] = s.metallicScratch * (1.0f - h) + s.metallicSurface * h;
          break;
        case MapKind::NORMAL_GL:
        case MapKind::NORMAL_DX: {
          // The normal of the baked height itself: central differences of the filtered heights of
          // the neighbours, over the pixel's footprint in pattern units. Image rows run down, the
          // bitangent up.
          float du = p[SUM_SLOPE_T], dv = p[SUM_SLOPE_B];
          if (!frames) {
            const float left = sums.Pixel(x + margin - 1, y + margin)[SUM_HEIGHT];
            const float right = sums.Pixel(x + margin + 1, y + margin)[SUM_HEIGHT];
            const float up = sums.Pixel(x + margin, y + margin - 1)[SUM_HEIGHT];
            const float down = sums.Pixel(x + margin, y + margin + 1)[SUM_HEIGHT];
            const float fx = p[SUM_FOOT_X], fy = p[SUM_FOOT_Y];
            du = fx > 0.0f ? (right - left) / (2.0f * fx) : 0.0f;
            dv = fy > 0.0f ? (up - down) / (2.0f * fy) : 0.0f;
          }
          // Away from the scratches the heights are flat and the slopes repeat, mostly 0: the
          // last pixel's normal is the same bits again.
          if (!known || !SameBits(du, lastDu) || !SameBits(dv, lastDv)) {
            known = true;
            lastDu = du;
            lastDv = dv;
            // In double, so that a huge --bump-scale still gives a finite unit normal.
            const double gx = -static_cast<double>(s.bumpScale) * du;
            const double gy = -static_cast<double>(s.bumpScale) * dv;
            const double len = std::sqrt(gx * gx + gy * gy + 1.0);
            Point3 n(static_cast<float>(gx / len), static_cast<float>(gy / len),
                     static_cast<float>(1.0 / len));
            if (!std::isfinite(len) || !std::isfinite(n.x) || !std::isfinite(n.y)) {
              n = Point3(0.0f, 0.0f, 1.0f);
            }
            normal[0] = Encode(n.x);
            normal[1] = Encode(kind == MapKind::NORMAL_DX ? -n.y : n.y);
            normal[2] = Encode(n.z);
          }
          std::copy(normal, normal + 3, out);
          break;
        }
        case MapKind::ANISOTROPY:
        case MapKind::ANISOTROPY_GLTF: {
          float dx, dy;
          directions.Of(p[SUM_GRAIN_C], p[SUM_GRAIN_S], dx, dy);
          if (kind == MapKind::ANISOTROPY) {
            out[0] = Encode(dx);
            out[1] = Encode(dy);
            out[2] = h;
          } else {
            // A scratch's walls tilt the surface across it: the highlight stretches, and glTF's
            // roughness rises, along (-dy, dx). A grain has no heading, so the turn's sense is
            // immaterial.
            out[0] = Encode(-dy);
            out[1] = Encode(dx);
            out[2] = 1.0f - h;
          }
          break;
        }
      }
    }
  }
}

void FillMap(MapKind kind, const BakeSettings& s, const Raster& sums, int margin, bool frames,
             Raster& band) {
  switch (kind) {
    case MapKind::COLOR:
      return FillMapOf<MapKind::COLOR>(s, sums, margin, frames, band);
    case MapKind::MONO:
      return FillMapOf<MapKind::MONO>(s, sums, margin, frames, band);
    case MapKind::HEIGHT:
      return FillMapOf<MapKind::HEIGHT>(s, sums, margin, frames, band);
    case MapKind::NORMAL_GL:
      return FillMapOf<MapKind::NORMAL_GL>(s, sums, margin, frames, band);
    case MapKind::NORMAL_DX:
      return FillMapOf<MapKind::NORMAL_DX>(s, sums, margin, frames, band);
    case MapKind::ROUGHNESS:
      return FillMapOf<MapKind::ROUGHNESS>(s, sums, margin, frames, band);
    case MapKind::ANISOTROPY:
      return FillMapOf<MapKind::ANISOTROPY>(s, sums, margin, frames, band);
    case MapKind::COVERAGE:
      return FillMapOf<MapKind::COVERAGE>(s, sums, margin, frames, band);
    case MapKind::ORM:
      return FillMapOf<MapKind::ORM>(s, sums, margin, frames, band);
    case MapKind::ANISOTROPY_GLTF:
      return FillMapOf<MapKind::ANISOTROPY_GLTF>(s, sums, margin, frames, band);
  }
}

// Pads the covered pixels of sums out into the uncovered ones by up to `passes` pixels: each
// pass gives every uncovered pixel beside a pixel that already has a value the mean of those
// neighbours (all eight directions), so that filtering and mip-maps of the image do not bleed the
// empty background into the islands. The coverage itself stays as it is.
void PadUncovered(Raster& sums, int passes) {
  const int w = sums.width, h = sums.height;
  // 0: no value yet; 1: covered; p + 1: padded in pass p.
  std::vector<std::uint16_t> level(static_cast<std::size_t>(w) * h);
  bool anyEmpty = false;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool covered = sums.Pixel(x, y)[SUM_COVER] > 0.0f;
      level[static_cast<std::size_t>(y) * w + x] = covered ? 1 : 0;
      anyEmpty |= !covered;
    }
  }
  for (int pass = 1; pass <= passes && anyEmpty; ++pass) {
    bool grew = false;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        std::uint16_t& own = level[static_cast<std::size_t>(y) * w + x];
        if (own != 0) continue;
        float mean[SUM_CHANNELS] = {};
        const int channels = sums.channels;
        int n = 0;
        for (int ny = std::max(0, y - 1); ny <= std::min(h - 1, y + 1); ++ny) {
          for (int nx = std::max(0, x - 1); nx <= std::min(w - 1, x + 1); ++nx) {
            const std::uint16_t l = level[static_cast<std::size_t>(ny) * w + nx];
            // Only pixels that had their value before this pass: the padding grows one pixel a
            // pass the same way in every direction.
            if (l == 0 || l > pass) continue;
            const float* p = sums.Pixel(nx, ny);
            for (int c = 0; c < channels; ++c) mean[c] += p[c];
            ++n;
          }
        }
        if (n == 0) continue;
        float* out = sums.Pixel(x, y);
        for (int c = 0; c < channels; ++c) out[c] = mean[c] / static_cast<float>(n);
        out[SUM_COVER] = 0.0f;
        own = static_cast<std::uint16_t>(pass + 1);
        grew = true;
      }
    }
    if (!grew) break;
  }
}

}  // namespace

namespace {
struct MapInfo {
  const char* name;
  MapKind kind;
};
constexpr MapInfo kMaps[] = {{"color", MapKind::COLOR},          {"mono", MapKind::MONO},
                             {"height", MapKind::HEIGHT},        {"normal-gl", MapKind::NORMAL_GL},
                             {"normal-dx", MapKind::NORMAL_DX},  {"roughness", MapKind::ROUGHNESS},
                             {"anisotropy", MapKind::ANISOTROPY}, {"coverage", MapKind::COVERAGE},
                             {"orm", MapKind::ORM},
                             {"anisotropy-gltf", MapKind::ANISOTROPY_GLTF}};
}  // namespace

TileBracket::TileBracket(Texmap& map, const BakeSettings& s) {
  if (!s.tileable) return;
  tile_ = static_cast<ITamrelTileable*>(map.GetInterface(TAMREL_TILEABLE_INTERFACE));
  if (!tile_)
    throw BakeError("--tileable needs a map that can repeat its pattern; this one cannot");
  // The tile is the unmoved view's first square: its corner pixel and the pixels one width
  // across and one width down, so moved views repeat the same tile.
  View frame = s.view;
  frame.offsetX = frame.offsetY = 0;
  SampleShadeContext corner, alongU, alongV;
  MakeSample(frame, 0, 0, corner);
  MakeSample(frame, frame.width, 0, alongU);
  MakeSample(frame, 0, frame.width, alongV);
  const TamrelTileReport r = tile_->BeginTileBake(corner, alongU, alongV, frame.width);
  if (r.problem != TILE_OK) {
    const std::string why = tile_->DescribeTileRefusal(r);
    tile_ = nullptr;
    throw BakeError("--tileable" + why);
  }
  nudge = {r.length, r.width, r.angleDeg, r.erosion};
}

TileBracket::~TileBracket() {
  if (tile_) tile_->EndTileBake();
}

// The map's perturbation is a gradient of its field in three dimensions; only the part across the
// surface tilts the normal, and dropping the rest keeps every normal on the outer side. A strong
// bump (or a huge scale) would overflow the float length; the direction is then found in double,
// where the product of two floats cannot overflow, so the normal is always finite and of unit
// length.
Point3 BentNormal(const Point3& n, const Point3& perturb, float scale) {
  const Point3 across = perturb - n * DotProd(perturb, n);
  if (!std::isfinite(across.x) || !std::isfinite(across.y) || !std::isfinite(across.z)) return n;
  const Point3 d = n + across * scale;
  const float len = Length(d);
  if (std::isfinite(len) && len > 0.0f && std::isfinite(d.x) && std::isfinite(d.y) &&
      std::isfinite(d.z)) {
    return d / len;
  }
  const double dx = double(n.x) + double(across.x) * double(scale);
  const double dy = double(n.y) + double(across.y) * double(scale);
  const double dz = double(n.z) + double(across.z) * double(scale);
  const double wide = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (!(wide > 0.0) || !std::isfinite(wide)) return n;
  return Point3(static_cast<float>(dx / wide), static_cast<float>(dy / wide),
                static_cast<float>(dz / wide));
}

bool ParseMapName(const std::string& name, NormalConvention convention, MapKind& kind) {
  if (name == "normal") {
    kind = convention == NormalConvention::DIRECTX ? MapKind::NORMAL_DX : MapKind::NORMAL_GL;
    return true;
  }
  for (const MapInfo& m : kMaps) {
    if (name == m.name) {
      kind = m.kind;
      return true;
    }
  }
  return false;
}

const char* MapNames() {
  return "color, mono, height, normal, normal-gl, normal-dx, roughness, anisotropy, coverage, orm, "
         "anisotropy-gltf";
}

const char* MapKindName(MapKind kind) {
  for (const MapInfo& m : kMaps) {
    if (m.kind == kind) return m.name;
  }
  return "color";
}

int MapChannels(MapKind kind) {
  switch (kind) {
    case MapKind::COLOR:
      return 4;
    case MapKind::NORMAL_GL:
    case MapKind::NORMAL_DX:
    case MapKind::ANISOTROPY:
    case MapKind::ANISOTROPY_GLTF:
    case MapKind::ORM:
      return 3;
    default:
      return 1;
  }
}

bool IsDataMap(MapKind kind) {
  return kind != MapKind::COLOR;
}

Region BakeRegion(const BakeSettings& s) {
  return s.region.Empty() ? Region{0, 0, s.view.width, s.view.height} : s.region;
}

std::string CheckBakeSettings(const BakeSettings& s) {
  if (s.view.width <= 0 || s.view.height <= 0) return "the image size must be at least 1x1";
  if (!(s.bumpScale >= 0.0f) || !std::isfinite(s.bumpScale)) {
    return "--bump-scale must be a finite number, 0 or more";
  }
  if (!(s.view.extent > 0.0f) || !std::isfinite(s.view.extent)) {
    return "the plane's extent must be a positive number of scene units";
  }
  if (s.samples < 1 || s.samples > kMaxSamples) {
    return "--samples must be from 1 to " + std::to_string(kMaxSamples);
  }
  if (s.maps.empty()) return "no map to bake";
  if (s.tileable && s.view.geometry == Geometry::MESH) {
    return "--tileable bakes a tile of the plane, not a model's UV layout";
  }
  if (s.tileable && s.view.geometry != Geometry::PLANE) {
    return "--tileable bakes a tile of the plane; use --geometry plane";
  }
  for (float r : {s.roughnessSurface, s.roughnessScratch}) {
    if (!(r >= 0.0f && r <= 1.0f)) return "roughness values must be from 0 to 1";
  }
  for (float m : {s.metallicSurface, s.metallicScratch}) {
    if (!(m >= 0.0f && m <= 1.0f)) return "metallic values must be from 0 to 1";
  }
  const Region& r = s.region;
  if (!r.Empty()) {
    if (r.x0 < 0 || r.y0 < 0 || r.x1 > s.view.width || r.y1 > s.view.height) {
      return "--region " + std::to_string(r.x0) + "," + std::to_string(r.y0) + "," +
             std::to_string(r.x1) + "," + std::to_string(r.y1) +
             " must be a non-empty rectangle inside the " + std::to_string(s.view.width) + "x" +
             std::to_string(s.view.height) + " image";
    }
  }
  // A tangent frame is fixed on the plane and a model has its own; on the sphere it would depend
  // on a UV layout it does not have.
  for (MapKind kind : s.maps) {
    if ((IsNormalMap(kind) || IsAnisotropyMap(kind)) && s.view.geometry == Geometry::SPHERE) {
      return std::string(MapKindName(kind)) +
             " is a tangent-space map of the plane; use --geometry plane";
    }
  }
  return {};
}

void SamplePosition(int i, int n, float& x, float& y) {
  constexpr double kGolden = 0.6180339887498949;  // the golden ratio's fractional part
  x = static_cast<float>((i + 0.5) / n);
  const double g = 0.5 + i * kGolden;
  y = static_cast<float>(g - std::floor(g));
}

void TileSamplePosition(int i, int n, float& x, float& y) {
  SamplePosition(i, n, x, y);
  // The nearest sixteenth; one that would land on the next pixel's edge wraps to this one's, as
  // the pattern of positions is periodic in the pixel anyway.
  auto snap = [](float a) {
    const float k = std::round(a * 16.0f);
    return (k >= 16.0f ? 0.0f : k) / 16.0f;
  };
  x = snap(x);
  y = snap(y);
}

bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& s, const BandSink& sink,
               BakeOutcome* outcome) {
  if (std::string why = CheckBakeSettings(s); !why.empty()) throw BakeError(why);
  if (s.view.geometry == Geometry::MESH && !s.mesh) throw BakeError("a mesh bake needs a model");
  auto* bake = static_cast<ITexBake*>(map.GetInterface(I_TEXBAKE));
  if (!bake) throw BakeError("the map offers no baking interface");

  // Maps may read the current time while they update, never while they are shaded.
  GetCOREInterface()->SetTime(t);
  Interval valid = FOREVER;
  map.Update(t, valid);
  const TileBracket tile(map, s);
  if (outcome) *outcome = BakeOutcome{tile.nudge, 0};

  const bool grain = std::any_of(s.maps.begin(), s.maps.end(), IsAnisotropyMap);
  const bool normals = std::any_of(s.maps.begin(), s.maps.end(), IsNormalMap);
  const std::unique_ptr<SampleSource> source = MakeSampleSource(s);
  const bool frames = source->TangentFrames();
  const int pad = source->Padding();
  RowShader shader{&map,
                   bake,
                   source.get(),
                   source->SamplesPerPixel(),
                   SampleFootprint(source->SamplesPerPixel()),
                   source->Lit(),
                   grain,
                   frames,
                   frames ? SUM_CHANNELS : SUM_PLAIN_CHANNELS,
                   source->CoveredMean(),
                   s.bumpScale,
                   s.render.cancel,
                   MapEvaluationCost(map) <= 1.0 ? 64 : 1};
  shader.arrays = source->FillsArrays() && !shader.lit && !s.perSampleShading;
  shader.colourOnly = std::all_of(s.maps.begin(), s.maps.end(),
                                  [](MapKind kind) { return kind == MapKind::COLOR; });
  // Normals from the neighbours' heights need a pixel more on every side; a padded source needs
  // as many pixels as it pads by, so that its band's pixels are padded as the whole image's are,
  // and the slopes of the padding's sources need their neighbours in turn.
  const bool slopes = frames && normals;
  const int margin = (normals ? 1 : 0) + pad;
  const Region region = BakeRegion(s);
  const int bandRows = std::max(1, s.bandRows);
  const std::int64_t total = static_cast<std::int64_t>(region.Width()) * region.Height();
  const int sumsWidth = region.Width() + 2 * margin;
  const std::size_t rowFloats = static_cast<std::size_t>(sumsWidth) * shader.channels;

  RenderOptions options = s.render;
  // The sums of the band and its margin. Consecutive bands share 2 * margin rows, which are
  // kept rather than shaded again: window row 0 is image row windowTop. Windows alternate, so
  // that one band's maps are filled from its window while the next band's is built.
  Raster windows[2], paddeds[2], sloped;
  std::vector<char> rowSloped;  // window rows whose slopes are taken
  int windowTop = region.y0 - margin;
  // Each band's maps are filled and handed to the sink on a thread of their own while the next
  // band is shaded, so deriving the maps, encoding and writing files overlap the shading instead
  // of holding up the render threads. One band is on that thread at a time and bands reach the
  // sink in order; a failure it reports stops the bake at the next band. The pending band is
  // waited for however BakeFrame leaves (the future's destructor joins it), and is declared after
  // the rasters it reads.
  std::vector<Raster> bands(s.maps.size());
  std::future<std::string> pending;
  const auto settle = [&pending] {
    if (!pending.valid()) return;
    if (std::string error = pending.get(); !error.empty()) throw BakeError(error);
  };
  for (int by = region.y0, k = 0; by < region.y1; by += bandRows, k ^= 1) {
    const int rows = std::min(bandRows, region.y1 - by);
    const int top = by - margin, bottom = by + rows + margin;
    const Raster& previous = windows[k ^ 1];
    Raster& window = windows[k];
    const int drop = std::min(top - windowTop, previous.height);
    window.width = sumsWidth;
    window.channels = shader.channels;
    // The window holds the whole band and its margins: its size stays from band to band, so
    // nothing is cleared that the shading writes anyway. The rows kept go to its top.
    window.pixels.resize(static_cast<std::size_t>(bottom - top) * rowFloats);
    std::copy(previous.pixels.begin() + static_cast<std::ptrdiff_t>(drop * rowFloats),
              previous.pixels.begin() + static_cast<std::ptrdiff_t>(previous.height * rowFloats),
              window.pixels.begin());
    window.height = previous.height - drop;
    rowSloped.erase(rowSloped.begin(), rowSloped.begin() + drop);
    windowTop = top;
    const int first = windowTop + window.height;  // the first row not yet shaded
    const std::int64_t before = static_cast<std::int64_t>(by - region.y0) * region.Width();
    options.progress = nullptr;
    if (s.progress) {
      options.progress = [&, before, rows](int done, int tiles) {
        s.progress(before + static_cast<std::int64_t>(rows) * region.Width() * done / tiles, total);
      };
    }
    const int x0 = region.x0 - margin;
    const SpanShader span = [&](int y, int xa, int xb, float* out) {
      shader.ShadeRow(first + y, x0 + xa, x0 + xb, out);
    };
    // The new rows are shaded straight into the window, after the rows it keeps.
    if (!RenderRows(window.pixels.data() + static_cast<std::size_t>(window.height) * rowFloats,
                    sumsWidth, bottom - first, shader.channels, span, options)) {
      return false;
    }
    window.height = bottom - windowTop;
    rowSloped.resize(window.height, 0);
    if (slopes) {
      // Every pixel but the window's outermost, whose neighbours are not all in it (and which
      // no pixel of the band is padded from), once.
      int r0 = 1;
      while (r0 < window.height - 1 && rowSloped[r0]) ++r0;
      const int r1 = window.height - 1;
      if (r1 > r0) {
        const int imageX0 = region.x0 - margin;
        const SpanShader slope = [&](int y, int xa, int xb, float* out) {
          const int wy = r0 + y;
          for (int x = xa; x < xb; ++x, out += 2) {
            PixelSlopes(shader, window, x + 1, wy, imageX0 + x + 1, windowTop + wy, out);
          }
        };
        if (!RenderRaster(sloped, sumsWidth - 2, r1 - r0, 2, slope, options)) return false;
        for (int y = r0; y < r1; ++y) {
          for (int x = 1; x < sumsWidth - 1; ++x) {
            const float* v = sloped.Pixel(x - 1, y - r0);
            float* p = window.Pixel(x, y);
            p[SUM_SLOPE_T] = v[0];
            p[SUM_SLOPE_B] = v[1];
          }
          rowSloped[y] = 1;
        }
      }
    }
    const Raster* sums = &window;
    if (pad > 0) {
      paddeds[k] = window;
      PadUncovered(paddeds[k], pad);
      sums = &paddeds[k];
    }
    if (outcome) {
      for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < region.Width(); ++x) {
          outcome->coveredPixels += window.Pixel(x + margin, y + margin)[SUM_COVER] > 0.0f;
        }
      }
    }
    // The previous band has left its window and the band rasters.
    settle();
    const int y0 = by - region.y0;
    pending = std::async(std::launch::async, [&, sums, y0, rows] {
      // The maps of a set are filled side by side.
      const auto fill = [&, sums, rows](std::size_t m) {
        Raster& band = bands[m];
        band.width = region.Width();
        band.height = rows;
        band.channels = MapChannels(s.maps[m]);
        // Every value is written: the buffer's size stays from band to band.
        band.pixels.resize(static_cast<std::size_t>(band.width) * rows * band.channels);
        FillMap(s.maps[m], s, *sums, margin, frames, band);
      };
      std::vector<std::future<void>> others;
      for (std::size_t m = 1; m < s.maps.size(); ++m) {
        others.push_back(std::async(std::launch::async, fill, m));
      }
      fill(0);
      for (std::future<void>& other : others) other.get();
      return sink(y0, y0 + rows, bands);
    });
  }
  settle();
  if (s.progress) s.progress(total, total);
  return true;
}

bool BakeFrame(Texmap& map, TimeValue t, const BakeSettings& s, std::vector<Raster>& maps,
               BakeOutcome* outcome) {
  const Region region = BakeRegion(s);
  maps.assign(s.maps.size(), Raster());
  for (std::size_t m = 0; m < s.maps.size(); ++m) {
    maps[m].width = region.Width();
    maps[m].height = region.Height();
    maps[m].channels = MapChannels(s.maps[m]);
    maps[m].pixels.assign(
        static_cast<std::size_t>(region.Width()) * region.Height() * maps[m].channels, 0.0f);
  }
  return BakeFrame(
      map, t, s,
      [&](int y0, int y1, const std::vector<Raster>& bands) {
        for (std::size_t m = 0; m < bands.size(); ++m) {
          std::copy(bands[m].pixels.begin(), bands[m].pixels.end(), maps[m].Pixel(0, y0));
        }
        (void)y1;
        return std::string();
      },
      outcome);
}

}  // namespace tamrel::host

// The baking interface a texture map may offer through GetInterface(I_TEXBAKE): one evaluation of
// a sample that answers what a texture baker needs for a whole set of maps at once, the colour
// EvalColor gives together with the scalar pattern under it and the direction of its grain.
#pragma once

#include "acolor.h"
#include "matrix3.h"
#include "point2.h"
#include "shadectx.h"

inline constexpr ULONG I_TEXBAKE = 0x54780B01;

struct TexBakeSample {
  // The colour EvalColor returns for the sample, to the bit (output stage included).
  AColor color{0.0f, 0.0f, 0.0f, 0.0f};
  // The pattern value the colours are blended by, in [0, 1].
  float intensity = 0.0f;
  // Unit direction in which the pattern's grain runs at the sample, in the axes of the sample's
  // footprint: (a, b) is the direction a * dP/dx + b * dP/dy of the shade context's DP. The sign
  // is free (a grain has no heading); (0, 0) when the pattern has no direction there.
  Point2 direction{0.0f, 0.0f};
  // Lengths of the footprint's two derivative vectors in the pattern's own units.
  float footprint[2] = {0.0f, 0.0f};
};

// A run of samples as arrays, for maps that evaluate a whole run without shade contexts. Sample
// i reads exactly as the SampleShadeContext MakeContext(i, sc) fills would: a map evaluating the
// run gives the bits it gives for those contexts. Arrays hold count entries unless said otherwise;
// the run only points at them and its owner keeps them alive for the call.
struct TexBakeRun {
  static constexpr int kChannels = SampleShadeContext::kChannels;

  int count = 0;
  const Point3* p = nullptr;  // camera-space positions
  const Point3* dpdx = nullptr;
  const Point3* dpdy = nullptr;
  const Point2* screenUV = nullptr;
  const Point2* screenDUV = nullptr;
  // The transforms from camera space to object and world space and the node of each instance
  // the run shows: sample i takes entry instance[i], or entry 0 for every sample when instance is
  // null. nodes may be null (no node), mtlNum too (material 0).
  const Matrix3* camToObj = nullptr;
  const Matrix3* camToWorld = nullptr;
  INode* const* nodes = nullptr;
  const int* instance = nullptr;
  const int* mtlNum = nullptr;
  // The map channels the samples carry, distinct ids; a channel not listed reads zero.
  int channelCount = 0;
  int channelIds[kChannels] = {};
  const Point3* uvw[kChannels] = {};
  const Point3* duvw[kChannels] = {};
  BOOL doMaps = TRUE;
  BOOL filterMaps = TRUE;

  int Instance(int i) const { return instance ? instance[i] : 0; }
  INode* Node(int i) const { return nodes ? nodes[Instance(i)] : nullptr; }
  int MtlNum(int i) const { return mtlNum ? mtlNum[i] : 0; }
  // The UVW and per-pixel change arrays of a map channel; null when the run does not carry it.
  const Point3* ChannelUVW(int channel) const {
    const int c = ChannelSlot(channel);
    return c < 0 ? nullptr : uvw[c];
  }
  const Point3* ChannelDUVW(int channel) const {
    const int c = ChannelSlot(channel);
    return c < 0 ? nullptr : duvw[c];
  }
  // The slot of a map channel in channelIds, or -1.
  int ChannelSlot(int channel) const {
    for (int c = 0; c < channelCount; ++c) {
      if (channelIds[c] == channel) return c;
    }
    return -1;
  }

  // Samples first .. first+n-1 of this run as a run of their own.
  TexBakeRun Slice(int first, int n) const {
    TexBakeRun r = *this;
    r.count = n;
    const auto at = [first](auto* a) { return a ? a + first : a; };
    r.p = at(p);
    r.dpdx = at(dpdx);
    r.dpdy = at(dpdy);
    r.screenUV = at(screenUV);
    r.screenDUV = at(screenDUV);
    r.instance = at(instance);
    r.mtlNum = at(mtlNum);
    for (int c = 0; c < channelCount; ++c) {
      r.uvw[c] = at(uvw[c]);
      r.duvw[c] = at(duvw[c]);
    }
    return r;
  }

  // The shade context sample i stands for.
  void MakeContext(int i, SampleShadeContext& sc) const {
    sc = SampleShadeContext();
    sc.doMaps = doMaps;
    sc.filterMaps = filterMaps;
    sc.mtlNum = MtlNum(i);
    sc.p = p[i];
    sc.dpdx = dpdx[i];
    sc.dpdy = dpdy[i];
    const int k = Instance(i);
    sc.camToObj = camToObj[k];
    sc.camToWorld = camToWorld[k];
    sc.node = Node(i);
    sc.screenUV = screenUV[i];
    sc.screenDUV = screenDUV[i];
    for (int c = 0; c < channelCount; ++c) sc.SetUVW(channelIds[c], uvw[c][i], duvw[c][i]);
  }
};

class ITexBake {
 public:
  virtual ~ITexBake() = default;
  // Evaluates the sample; FALSE (and a zero sample) when the map has no coordinates there. Reads
  // only what Update cached, like the shading evaluations, so it may run on any thread. The
  // direction costs extra and is only found when grain is TRUE; it stays (0, 0) otherwise.
  virtual BOOL EvalBakeSample(ShadeContext& sc, TexBakeSample& out, BOOL grain) = 0;
  // Evaluates n samples as EvalBakeSample evaluates each, hit[i] being its answer for scs[i]. A
  // map may evaluate neighbouring samples together, which is faster and gives the same bits;
  // this default asks one sample at a time.
  virtual void EvalBakeSamples(ShadeContext* const* scs, int n, TexBakeSample* out, BOOL* hit,
                               BOOL grain) {
    for (int i = 0; i < n; ++i) hit[i] = EvalBakeSample(*scs[i], out[i], grain);
  }
  // Evaluates the run.count samples of run as EvalBakeSamples evaluates the contexts
  // run.MakeContext builds, to the bit. There are no contexts, so nothing is cached in them. A
  // map that reads its samples through the context only may leave this default, which builds
  // the contexts a few at a time and hands them to EvalBakeSamples.
  virtual void EvalBakeRun(const TexBakeRun& run, TexBakeSample* out, BOOL* hit, BOOL grain) {
    constexpr int kChunk = 16;
    SampleShadeContext contexts[kChunk];
    ShadeContext* scs[kChunk];
    for (int base = 0; base < run.count; base += kChunk) {
      const int m = run.count - base < kChunk ? run.count - base : kChunk;
      for (int i = 0; i < m; ++i) {
        run.MakeContext(base + i, contexts[i]);
        scs[i] = &contexts[i];
      }
      EvalBakeSamples(scs, m, out + base, hit + base, grain);
    }
  }
};

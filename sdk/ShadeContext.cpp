// The plain shade-sample record: frame conversions by its two transforms, UVW lookup by channel,
// and a small colour cache.
#include "shadectx.h"

bool SampleShadeContext::SetUVW(int channel, const Point3& uvw, const Point3& duvw) {
  for (int i = 0; i < channelCount_; ++i) {
    if (channels_[i].channel == channel) {
      channels_[i].uvw = uvw;
      channels_[i].duvw = duvw;
      return true;
    }
  }
  if (channelCount_ == kChannels) return false;
  channels_[channelCount_++] = Channel{channel, uvw, duvw};
  return true;
}

const SampleShadeContext::Channel* SampleShadeContext::FindChannel(int channel) const {
  for (int i = 0; i < channelCount_; ++i) {
    if (channels_[i].channel == channel) return &channels_[i];
  }
  return nullptr;
}

// A channel the surface does not carry reads as zero, as a host does for missing mapping.
Point3 SampleShadeContext::UVW(int channel) {
  const Channel* c = FindChannel(channel);
  return c ? c->uvw : Point3();
}

Point3 SampleShadeContext::DUVW(int channel) {
  const Channel* c = FindChannel(channel);
  return c ? c->duvw : Point3();
}

const Matrix3* SampleShadeContext::FrameTM(RefFrame frame) const {
  switch (frame) {
    case REF_OBJECT:
      return &camToObj;
    case REF_WORLD:
      return &camToWorld;
    default:
      return nullptr;  // camera space: no conversion
  }
}

Point3 SampleShadeContext::PointTo(const Point3& q, RefFrame to) {
  const Matrix3* m = FrameTM(to);
  return m ? *m * q : q;
}

Point3 SampleShadeContext::VectorTo(const Point3& v, RefFrame to) {
  const Matrix3* m = FrameTM(to);
  return m ? VectorTransform(*m, v) : v;
}

Point3 SampleShadeContext::PointFrom(const Point3& q, RefFrame from) {
  const Matrix3* m = FrameTM(from);
  return m ? m->Inverse() * q : q;
}

Point3 SampleShadeContext::VectorFrom(const Point3& v, RefFrame from) {
  const Matrix3* m = FrameTM(from);
  return m ? VectorTransform(m->Inverse(), v) : v;
}

// The inverse transform with its rows normalised: the frame's rotation without its scale.
Point3 SampleShadeContext::VectorFromNoScale(const Point3& v, RefFrame from) {
  const Matrix3* m = FrameTM(from);
  if (!m) return v;
  Matrix3 inv = m->Inverse();
  Matrix3 rot;
  for (int i = 0; i < 3; ++i) rot.SetRow(i, Normalize(inv.GetRow(i)));
  return VectorTransform(rot, v);
}

int SampleShadeContext::GetCache(Texmap* map, AColor& c) {
  for (int i = 0; i < cacheCount_; ++i) {
    if (cache_[i].map == map) {
      c = cache_[i].color;
      return 1;
    }
  }
  return 0;
}

// When full, the cache stops taking entries: it only saves work and never changes a result.
void SampleShadeContext::PutCache(Texmap* map, const AColor& c) {
  for (int i = 0; i < cacheCount_; ++i) {
    if (cache_[i].map == map) {
      cache_[i].color = c;
      return;
    }
  }
  if (cacheCount_ < kCacheSize) cache_[cacheCount_++] = CacheEntry{map, c};
}

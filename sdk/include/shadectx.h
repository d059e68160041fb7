// ShadeContext: the host's description of one shading sample, passed to every evaluation.
//
// Renderers derive from it and answer the queries for their sample; SampleShadeContext below is
// the plain record that our own renderer and the tests use.
#pragma once

#include "acolor.h"
#include "inode.h"
#include "matrix3.h"
#include "point2.h"
#include "point3.h"

class Texmap;

// Coordinate frames a shade context converts to and from. Camera space is the context's own.
enum RefFrame { REF_CAMERA = 0, REF_WORLD = 1, REF_OBJECT = 2 };

class ShadeContext {
 public:
  BOOL doMaps = TRUE;       // FALSE: maps are switched off and evaluate to zero
  BOOL filterMaps = TRUE;   // TRUE: maps filter over the sample footprint
  int mtlNum = 0;           // material ID of the shaded face

  virtual ~ShadeContext() = default;

  virtual INode* Node() = 0;
  virtual Point3 P() = 0;                          // shading position, camera space
  virtual void DP(Point3& dpdx, Point3& dpdy) = 0;  // its change per pixel step in x and y
  virtual Point3 UVW(int channel = 1) = 0;
  virtual Point3 DUVW(int channel = 1) = 0;         // change of UVW across one pixel
  virtual void ScreenUV(Point2& uv, Point2& duv) = 0;
  virtual Point3 PointTo(const Point3& p, RefFrame to) = 0;    // from camera space
  virtual Point3 VectorTo(const Point3& v, RefFrame to) = 0;
  virtual Point3 PointFrom(const Point3& p, RefFrame from) = 0;  // to camera space
  virtual Point3 VectorFrom(const Point3& v, RefFrame from) = 0;
  // As VectorFrom, leaving out the scale of the frame's transform.
  virtual Point3 VectorFromNoScale(const Point3& v, RefFrame from) = 0;

  // Per-sample colour cache keyed by map: GetCache answers nonzero and fills c on a hit.
  virtual int GetCache(Texmap* map, AColor& c) = 0;
  virtual void PutCache(Texmap* map, const AColor& c) = 0;

  virtual void SetGBufferID(int gbid) = 0;
};

// A sample on a surface: camera-space position and per-pixel derivatives, the object and world
// transforms (camera to object, camera to world), up to four UVW channels and the screen position.
// Everything is plain data the caller fills; the colour cache holds a few maps without allocating.
class SampleShadeContext : public ShadeContext {
 public:
  static constexpr int kChannels = 4;
  static constexpr int kCacheSize = 8;

  Point3 p, dpdx, dpdy;
  Matrix3 camToObj, camToWorld;
  INode* node = nullptr;
  Point2 screenUV, screenDUV;
  int gbufferID = 0;

  SampleShadeContext() = default;

  // Sets UVW and its per-pixel change for a map channel; false when all slots are taken.
  bool SetUVW(int channel, const Point3& uvw, const Point3& duvw);
  // Forgets the cached colours; call between samples when the context is reused.
  void ClearCache() { cacheCount_ = 0; }

  INode* Node() override { return node; }
  Point3 P() override { return p; }
  void DP(Point3& x, Point3& y) override {
    x = dpdx;
    y = dpdy;
  }
  Point3 UVW(int channel = 1) override;
  Point3 DUVW(int channel = 1) override;
  void ScreenUV(Point2& uv, Point2& duv) override {
    uv = screenUV;
    duv = screenDUV;
  }
  Point3 PointTo(const Point3& q, RefFrame to) override;
  Point3 VectorTo(const Point3& v, RefFrame to) override;
  Point3 PointFrom(const Point3& q, RefFrame from) override;
  Point3 VectorFrom(const Point3& v, RefFrame from) override;
  Point3 VectorFromNoScale(const Point3& v, RefFrame from) override;
  int GetCache(Texmap* map, AColor& c) override;
  void PutCache(Texmap* map, const AColor& c) override;
  void SetGBufferID(int gbid) override { gbufferID = gbid; }

 private:
  struct Channel {
    int channel;
    Point3 uvw, duvw;
  };
  struct CacheEntry {
    Texmap* map;
    AColor color;
  };

  const Channel* FindChannel(int channel) const;
  const Matrix3* FrameTM(RefFrame frame) const;

  Channel channels_[kChannels] = {};
  int channelCount_ = 0;
  CacheEntry cache_[kCacheSize] = {};
  int cacheCount_ = 0;
};

// Interval: a closed span of time, the host's validity range for cached values.
//
// An interval is empty when its start lies after its end. Intersection of anything with an empty
// interval stays empty, which is how a single change notification forces a recompute.
#pragma once

#include "maxtypes.h"

class Interval {
 public:
  constexpr Interval() : start(TIME_NegInfinity + 1), end(TIME_NegInfinity) {}  // empty
  constexpr Interval(TimeValue s, TimeValue e) : start(s), end(e) {}

  constexpr void Set(TimeValue s, TimeValue e) {
    start = s;
    end = e;
  }
  constexpr void SetStart(TimeValue s) { start = s; }
  constexpr void SetEnd(TimeValue e) { end = e; }
  constexpr void SetEmpty() { *this = Interval(); }
  constexpr void SetInfinite() { Set(TIME_NegInfinity, TIME_PosInfinity); }
  constexpr void SetInstant(TimeValue t) { Set(t, t); }

  constexpr TimeValue Start() const { return start; }
  constexpr TimeValue End() const { return end; }
  constexpr bool Empty() const { return start > end; }
  constexpr int InInterval(TimeValue t) const { return !Empty() && t >= start && t <= end; }
  constexpr int InInterval(const Interval& i) const {
    return !i.Empty() && InInterval(i.start) && InInterval(i.end);
  }

  constexpr Interval operator&(const Interval& i) const {
    if (Empty() || i.Empty()) return Interval();
    const TimeValue s = start > i.start ? start : i.start;
    const TimeValue e = end < i.end ? end : i.end;
    return s > e ? Interval() : Interval(s, e);
  }
  constexpr Interval& operator&=(const Interval& i) { return *this = *this & i; }

  // All empty intervals compare equal, whatever their bounds.
  constexpr bool operator==(const Interval& i) const {
    return (Empty() && i.Empty()) || (start == i.start && end == i.end);
  }

 private:
  TimeValue start, end;
};

#define FOREVER Interval(TIME_NegInfinity, TIME_PosInfinity)
#define NEVER Interval()

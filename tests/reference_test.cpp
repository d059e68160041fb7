// Validity intervals and the reference graph: linking, loop refusal, lifetime, notification and
// cloning.
#include <gtest/gtest.h>

#include <set>

#include "SdkTestClasses.h"
#include "interval.h"
#include "ref.h"

namespace {

TEST(Interval, ForeverNeverAndMembership) {
  EXPECT_TRUE(FOREVER.InInterval(TIME_NegInfinity));
  EXPECT_TRUE(FOREVER.InInterval(TIME_PosInfinity));
  EXPECT_TRUE(NEVER.Empty());
  EXPECT_FALSE(NEVER.InInterval(0));
  const Interval iv(10, 20);
  EXPECT_TRUE(iv.InInterval(10));
  EXPECT_TRUE(iv.InInterval(20));
  EXPECT_FALSE(iv.InInterval(9));
  EXPECT_FALSE(iv.InInterval(21));
  Interval e;
  e.SetEmpty();
  EXPECT_EQ(e, NEVER);
}

TEST(Interval, IntersectionNarrowsAndEmptyWins) {
  EXPECT_EQ(Interval(0, 100) & Interval(50, 200), Interval(50, 100));
  EXPECT_EQ(FOREVER & Interval(3, 3), Interval(3, 3));
  EXPECT_TRUE((Interval(0, 10) & Interval(11, 20)).Empty());
  EXPECT_TRUE((NEVER & FOREVER).Empty());
  Interval v = FOREVER;
  v &= NEVER;
  v &= FOREVER;  // once empty, stays empty: that is what forces a recompute
  EXPECT_TRUE(v.Empty());
}

// A target that counts its destruction.
class Probe : public ReferenceTarget {
 public:
  explicit Probe(int* deaths) : deaths_(deaths) {}
  ~Probe() override { ++*deaths_; }
  int NumRefs() override { return 2; }
  RefTargetHandle GetReference(int i) override { return refs_[i]; }
  RefResult NotifyRefChanged(const Interval&, RefTargetHandle h, PartID&, RefMessage m, BOOL) override {
    received.push_back({m, h});
    return REF_SUCCEED;
  }
  RefTargetHandle Clone(RemapDir& remap) override {
    auto* c = new Probe(deaths_);
    for (int i = 0; i < 2; ++i) c->ReplaceReference(i, remap.CloneRef(refs_[i]));
    BaseClone(this, c, remap);
    return c;
  }
  std::vector<std::pair<RefMessage, ReferenceTarget*>> received;

 protected:
  void SetReference(int i, RefTargetHandle t) override { refs_[i] = t; }

 private:
  int* deaths_;
  ReferenceTarget* refs_[2] = {nullptr, nullptr};
};

// Holds roots in tests; deleting it releases them.
struct Roots {
  Scene scene;
  template <class T>
  T* Add(T* t) {
    scene.AddRoot(t);
    return t;
  }
};

TEST(References, LinkingSetsBothSidesAndChecksTheSlot) {
  int deaths = 0;
  Roots roots;
  Probe* a = roots.Add(new Probe(&deaths));
  auto* b = new Probe(&deaths);
  EXPECT_EQ(a->ReplaceReference(0, b), REF_SUCCEED);
  EXPECT_EQ(a->GetReference(0), b);
  EXPECT_EQ(b->NumDependents(), 1);
  EXPECT_EQ(a->ReplaceReference(2, b), REF_FAIL);
  EXPECT_EQ(a->ReplaceReference(-1, b), REF_FAIL);
  EXPECT_EQ(b->NumDependents(), 1);
}

TEST(References, TargetLivesUntilItsLastDependentLetsGo) {
  int deaths = 0;
  {
    Roots roots;
    Probe* a = roots.Add(new Probe(&deaths));
    Probe* c = roots.Add(new Probe(&deaths));
    auto* shared = new Probe(&deaths);
    a->ReplaceReference(0, shared);
    c->ReplaceReference(1, shared);
    a->DeleteReference(0);
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(shared->NumDependents(), 1);
    c->ReplaceReference(1, nullptr);
    EXPECT_EQ(deaths, 1);

    auto* kept = new Probe(&deaths);
    a->ReplaceReference(0, kept);
    a->ReplaceReference(0, nullptr, FALSE);  // without delete-old the caller keeps it
    EXPECT_EQ(deaths, 1);
    kept->DeleteThis();
    EXPECT_EQ(deaths, 2);
  }
  EXPECT_EQ(deaths, 4);  // the two roots, released with the scene
}

TEST(References, DeletingAReferencedTargetClearsTheDependentsSlot) {
  int deaths = 0;
  Roots roots;
  Probe* a = roots.Add(new Probe(&deaths));
  auto* b = new Probe(&deaths);
  a->ReplaceReference(0, b);
  a->ReplaceReference(1, b);
  b->DeleteThis();
  EXPECT_EQ(a->GetReference(0), nullptr);
  EXPECT_EQ(a->GetReference(1), nullptr);
  ASSERT_EQ(a->received.size(), 1u);
  EXPECT_EQ(a->received[0].first, REFMSG_TARGET_DELETED);
}

TEST(References, LoopsAreRefusedDirectlyAndThroughOthers) {
  int deaths = 0;
  Roots roots;
  Probe* a = roots.Add(new Probe(&deaths));
  auto* b = new Probe(&deaths);
  auto* c = new Probe(&deaths);
  EXPECT_EQ(a->ReplaceReference(0, a), REF_FAIL);
  ASSERT_EQ(a->ReplaceReference(0, b), REF_SUCCEED);
  ASSERT_EQ(b->ReplaceReference(0, c), REF_SUCCEED);
  EXPECT_EQ(c->ReplaceReference(0, a), REF_FAIL);
  EXPECT_EQ(c->ReplaceReference(1, b), REF_FAIL);
  EXPECT_EQ(c->GetReference(0), nullptr);
  // Sharing without a loop is fine: a -> b -> c and a -> c.
  EXPECT_EQ(a->ReplaceReference(1, c), REF_SUCCEED);
  EXPECT_TRUE(a->DependsOn(c));
  EXPECT_FALSE(c->DependsOn(a));
}

TEST(References, MapCannotBecomeItsOwnSubMap) {
  TestClasses classes;
  Roots roots;
  TestOwner* owner = roots.Add(classes.NewOwner());
  auto* m1 = new TestMap;
  auto* m2 = new TestMap;
  IParamBlock2* pb = owner->Block(SCRATCHES_REF_PARAMS);
  EXPECT_FALSE(pb->SetValue(PB_COLOR1_MAP, 0, owner));
  ASSERT_TRUE(pb->SetValue(PB_COLOR1_MAP, 0, m1));
  ASSERT_EQ(m1->ReplaceReference(0, m2), REF_SUCCEED);
  EXPECT_EQ(m2->ReplaceReference(0, owner), REF_FAIL);
  EXPECT_EQ(m2->ReplaceReference(0, m1), REF_FAIL);
}

TEST(References, ChangeReachesEveryDependentAndPropagates) {
  int deaths = 0;
  Roots roots;
  Probe* top = roots.Add(new Probe(&deaths));
  auto* mid = new Probe(&deaths);
  auto* leaf = new Probe(&deaths);
  top->ReplaceReference(0, mid);
  mid->ReplaceReference(0, leaf);
  top->ReplaceReference(1, leaf);
  leaf->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  ASSERT_EQ(mid->received.size(), 1u);
  EXPECT_EQ(mid->received[0].second, leaf);
  // top hears from leaf directly and from mid passing it on.
  std::set<ReferenceTarget*> senders;
  for (auto& r : top->received) senders.insert(r.second);
  EXPECT_EQ(senders, (std::set<ReferenceTarget*>{leaf, mid}));
  EXPECT_EQ(top->received.size(), 2u);
}

TEST(References, SharedTargetsPassAChangeOnOncePerReference) {
  // Layers of two targets, each referencing both of the layer below: one message per reference,
  // not one per path (there are 2^layers paths).
  int deaths = 0;
  Roots roots;
  constexpr int kLayers = 20;
  std::vector<std::array<Probe*, 2>> layers(kLayers);
  for (int l = 0; l < kLayers; ++l)
    for (auto*& p : layers[static_cast<std::size_t>(l)]) p = new Probe(&deaths);
  for (int l = 1; l < kLayers; ++l)
    for (Probe* p : layers[static_cast<std::size_t>(l)])
      for (int i = 0; i < 2; ++i) p->ReplaceReference(i, layers[static_cast<std::size_t>(l - 1)][static_cast<std::size_t>(i)]);
  for (Probe* p : layers.back()) roots.Add(p);
  layers[0][0]->NotifyDependents(FOREVER, PART_ALL, REFMSG_CHANGE);
  std::size_t total = 0;
  for (auto& layer : layers)
    for (Probe* p : layer) total += p->received.size();
  EXPECT_EQ(total, 2u + 4u * (kLayers - 2));
}

TEST(References, CloneSharesNothingAndKeepsSharingInside) {
  int deaths = 0;
  Roots roots;
  Probe* a = roots.Add(new Probe(&deaths));
  auto* b = new Probe(&deaths);
  auto* c = new Probe(&deaths);
  auto* d = new Probe(&deaths);
  a->ReplaceReference(0, b);
  a->ReplaceReference(1, c);
  b->ReplaceReference(0, d);
  c->ReplaceReference(0, d);
  auto* copy = static_cast<Probe*>(roots.Add(CloneRefHierarchy(a)));
  ASSERT_NE(copy, nullptr);
  auto* b2 = copy->GetReference(0);
  auto* c2 = copy->GetReference(1);
  ASSERT_TRUE(b2 && c2);
  EXPECT_NE(b2, b);
  EXPECT_NE(c2, c);
  EXPECT_EQ(b2->GetReference(0), c2->GetReference(0));  // d cloned once
  EXPECT_NE(b2->GetReference(0), d);
  EXPECT_EQ(d->NumDependents(), 2);
  EXPECT_EQ(b2->GetReference(0)->NumDependents(), 2);
}

}  // namespace

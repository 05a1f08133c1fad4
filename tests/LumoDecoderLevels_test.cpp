// Tests of the decoder's level-of-detail control on a small stream with chosen split sizes and triangle
// counts (count mode, size mode, changeNoTriangles, requests made while levels arrive), and on a random
// model stream whose every level is checked against the model.
#include <gtest/gtest.h>

#include <cfloat>

#include "LumoDecoder.h"
#include "LumoDecoderStreams.h"

using namespace streams;

namespace {

// Sets the level directly, to start an update from any level.
class LevelDecoder : public LumoDecoder {
 public:
  void toLevel(uint32_t k) {
    while (level > k) takeBackTopSplit();
    while (level < k) applyNextSplit();
    setShownCount();
  }
};

// Six splits; sizes 0, 4, 0, 2, 1, 3; triangles 0, 2, 0, 3, 2, 1, so totals 0, 2, 2, 5, 7, 8.
StreamModel fixture() {
  StreamModel m;
  auto alternate = [](size_t i) { return i % 2; };
  m.root({{0, 0, 0}});
  m.split(0, {{0, 0, 0}}, alternate);  // nodes 1 (v0), 2 (v1)
  m.split(1, {{4, 0, 0}}, alternate);  // nodes 3 (v0), 4 (v2)
  m.triangle(2, 1);
  m.triangle(2, 0);
  m.split(2, {{0, 0, 0}}, alternate);  // nodes 5 (v1), 6 (v3)
  m.split(4, {{4, 2, 0}}, alternate);  // nodes 7 (v2), 8 (v4)
  m.triangle(3, 1);
  m.triangle(5, 0);
  m.triangle(6, 1);
  m.split(3, {{0, 1, 0}}, alternate);  // nodes 9 (v0), 10 (v5)
  m.triangle(7, 0);
  m.triangle(8, 1);
  m.split(8, {{4, 2, 3}}, alternate);  // nodes 11 (v4), 12 (v6)
  m.triangle(9, 0);
  return m;
}

const uint32_t totals[6] = {0, 2, 2, 5, 7, 8};

uint32_t shownAt(uint32_t level) { return level ? totals[level - 1] : 0; }

std::vector<int32_t> shownTable(const LumoDecoder& d) {
  std::vector<int32_t> table;
  for (uint32_t t = 0; t < d.brep.noTriangles; t++)
    for (int c = 0; c < 3; c++) table.push_back(d.brep.triangles[4 * t + c]);
  return table;
}

TEST(LumoDecoderLevels, FixtureStream) {
  StreamModel m = fixture();
  EXPECT_EQ(std::vector<float>({0, 4, 0, 2, 1, 3}), m.sizes);
  EXPECT_EQ(std::vector<uint32_t>(totals, totals + 6), m.totals);
  LevelDecoder d;
  feedWhole(d, m.finish());
  ASSERT_EQ(6u, d.noLevels);
  for (uint32_t k = 0; k < 6; k++) {
    EXPECT_EQ(m.sizes[k], d.levelClusters[k]->size);
    EXPECT_EQ(totals[k], d.levelClusters[k]->totalNoTriangles);
  }
}

// The highest level whose total is at most the request, from whatever level the update starts.
TEST(LumoDecoderLevels, CountMode) {
  const struct {
    uint32_t request, kept, level;
  } cases[] = {
      {8, 8, 6},      // the full mesh
      {7, 7, 5},      // an exact total
      {6, 6, 4},      // between two totals: the lower one
      {5, 5, 4},      // a total reached by a split without triangles: that split is applied too
      {3, 3, 3},
      {2, 2, 3},
      {1, 1, 1},      // only the first split, which has no triangles
      {100, 8, 6},    // above the available count: clamped
      {0xFFFFFFFFu, 8, 6},
  };
  StreamModel m = fixture();
  std::vector<uint8_t> bytes = m.finish();
  for (auto& c : cases) {
    for (uint32_t start = 0; start <= 6; start++) {
      SCOPED_TRACE(testing::Message() << "request " << c.request << " from level " << start);
      LevelDecoder d;
      feedWhole(d, bytes);
      d.toLevel(start);
      EXPECT_EQ(c.kept, d.setNoTriangles(c.request));
      EXPECT_EQ(c.kept, d.getNoTriangles());
      EXPECT_EQ(c.level, d.level);
      EXPECT_EQ(shownAt(c.level), d.brep.noTriangles);
      EXPECT_EQ(m.tableAt(c.level), shownTable(d));
    }
  }
}

// Size mode takes back from the top while the top split is smaller than the threshold, then applies
// splits that are not smaller, or of size 0; the result depends on the starting level.
TEST(LumoDecoderLevels, SizeMode) {
  const struct {
    float threshold;
    uint32_t start, level;
  } cases[] = {
      {FLT_MAX, 6, 0},  // the default takes everything back, the size-0 first split included
      {FLT_MAX, 0, 1},  // and from level 0 applies only the leading size-0 split
      {FLT_MAX, 1, 0},
      {FLT_MAX, 3, 0},
      {0.0f, 0, 6},     // no size is below 0
      {0.0f, 6, 6},
      {3.0f, 0, 3},     // L4 (size 2) stops the run
      {3.0f, 6, 6},     // a split of exactly the threshold stays
      {3.0f, 5, 3},     // back to L2 (size 4), then the size-0 L3 is applied again
      {3.5f, 6, 3},
      {3.5f, 0, 3},
      {4.0f, 0, 3},
      {4.0f, 6, 3},
      {4.5f, 6, 0},     // everything taken back: the size-0 splits are not applied again
      {4.5f, 0, 1},
      {1.5f, 6, 6},
      {1.5f, 0, 4},
      {1.5f, 4, 4},
      {1.5f, 2, 4},
  };
  std::vector<uint8_t> bytes = fixture().finish();
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "threshold " << c.threshold << " from level " << c.start);
    LevelDecoder d;
    feedWhole(d, bytes);
    d.toLevel(c.start);
    d.setMinParentClusterSize(c.threshold);
    EXPECT_EQ(c.threshold, d.getMinParentClusterSize());
    EXPECT_EQ(0u, d.getNoTriangles());
    EXPECT_EQ(c.level, d.level);
    EXPECT_EQ(shownAt(c.level), d.brep.noTriangles);
  }
}

TEST(LumoDecoderLevels, ThresholdWaitsForSizeMode) {
  LevelDecoder d;
  feedWhole(d, fixture().finish());
  EXPECT_EQ(8u, d.setAvailableNoTriangles());
  d.setMinParentClusterSize(4.5f);
  EXPECT_EQ(6u, d.level) << "count mode stays in force";
  EXPECT_EQ(0u, d.setNoTriangles(0));
  EXPECT_EQ(0u, d.level);
  EXPECT_EQ(0u, d.brep.noTriangles);
  EXPECT_EQ(0u, d.setNoTriangles(0));
  EXPECT_EQ(1u, d.level) << "a second update from level 0 applies the size-0 first split";
}

// changeNoTriangles adds modulo 2^32 and clamps the sum to the available triangles.
TEST(LumoDecoderLevels, ChangeNoTrianglesWraps) {
  const struct {
    uint32_t request, delta, kept, level;
  } cases[] = {
      {5, 2, 7, 5},
      {5, 0xFFFFFFFFu - 2, 2, 3},   // adding 2^32 - 3 lowers by 3
      {4, 0xFFFFFFFFu - 9, 8, 6},   // below 0 wraps to a large value: clamped
      {8, 1, 8, 6},
      {3, 0, 3, 3},
      {5, 0xFFFFFFFFu - 4, 0, 0},   // to exactly 0: size mode with the default threshold
  };
  std::vector<uint8_t> bytes = fixture().finish();
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.request << " + " << c.delta);
    LevelDecoder d;
    feedWhole(d, bytes);
    d.setNoTriangles(c.request);
    EXPECT_EQ(c.kept, d.changeNoTriangles(c.delta));
    EXPECT_EQ(c.kept, d.getNoTriangles());
    EXPECT_EQ(c.level, d.level);
    EXPECT_EQ(shownAt(c.level), d.brep.noTriangles);
  }
}

// A request made while the stream arrives keeps its number: later levels are applied only as far as
// their totals fit under it; in size mode arriving levels follow the threshold.
TEST(LumoDecoderLevels, RequestsBeforeMoreLevelsArrive) {
  const struct {
    uint32_t levelsAtRequest;
    uint32_t request;        // 0: size mode with `threshold`
    float threshold;
    uint32_t kept, level;    // at the end of the stream
  } cases[] = {
      {4, 3, FLT_MAX, 3, 3},
      {4, 5, FLT_MAX, 5, 4},      // L5 (total 7) does not fit
      {2, 100, FLT_MAX, 2, 3},    // clamped to the 2 then available; L3 (total 2) fits when it arrives
      {1, 0, 3.0f, 0, 3},
      {0, 0, 0.0f, 0, 6},
  };
  StreamModel m = fixture();
  std::vector<uint8_t> bytes = m.finish();
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "request " << c.request << " at " << c.levelsAtRequest << " levels");
    LumoDecoder d;
    bool requested = false;
    for (LumoBitstream* b : pieces(bytes, 1)) {
      d.addBitstream(b);
      d.decodeBitstream();
      if (!requested && d.noLevels == c.levelsAtRequest) {
        d.setMinParentClusterSize(c.threshold);
        d.setNoTriangles(c.request);
        requested = true;
      }
    }
    ASSERT_TRUE(requested);
    EXPECT_EQ(8u, d.getAvailableNoTriangles());
    EXPECT_EQ(c.kept, d.getNoTriangles());
    EXPECT_EQ(c.level, d.level);
    EXPECT_EQ(shownAt(c.level), d.brep.noTriangles);
    EXPECT_EQ(m.tableAt(c.level), shownTable(d));
  }
}

// On a larger stream every level shows the model's triangles, and full → 0 → full restores the whole
// triangle table.
TEST(LumoDecoderLevels, EveryLevelAndBackRestoresTheTable) {
  StreamModel m = randomModel(17, 400, Header());
  LevelDecoder d;
  feedWhole(d, m.finish());
  ASSERT_EQ(400u, d.noLevels);
  d.setAvailableNoTriangles();
  ASSERT_EQ(400u, d.level);
  std::vector<int32_t> full(d.brep.triangles, d.brep.triangles + 4 * d.noDecodedTriangles);
  for (uint32_t k = 400; k-- > 0;) {
    d.toLevel(k);
    ASSERT_EQ(m.tableAt(k), shownTable(d)) << "level " << k;
  }
  d.setNoTriangles(1);
  d.setAvailableNoTriangles();
  for (uint32_t t = 0; t < d.noDecodedTriangles; t++)
    for (int c = 0; c < 3; c++) ASSERT_EQ(full[4 * t + c], d.brep.triangles[4 * t + c]);
  for (uint32_t request = 0; request <= d.getAvailableNoTriangles(); request += 7) {
    d.setNoTriangles(request);
    if (request == 0) continue;
    uint32_t expected = 0;
    while (expected < 400 && m.totals[expected] <= request) expected++;
    ASSERT_EQ(expected, d.level) << "request " << request;
    ASSERT_EQ(m.tableAt(expected), shownTable(d));
  }
}

TEST(LumoDecoderLevels, NoLevels) {
  LumoDecoder empty;
  EXPECT_EQ(0u, empty.setNoTriangles(5));
  EXPECT_EQ(0u, empty.setAvailableNoTriangles());
  EXPECT_EQ(0u, empty.changeNoTriangles(3));
  empty.setMinParentClusterSize(0);
  EXPECT_EQ(0u, empty.brep.noTriangles);
  LumoDecoder rootOnly;
  StreamModel m;
  m.root({{1, 1, 1}});
  feedWhole(rootOnly, m.finish());
  EXPECT_EQ(0u, rootOnly.noLevels);
  EXPECT_EQ(0u, rootOnly.getAvailableNoTriangles());
  EXPECT_NE(nullptr, rootOnly.getClusterTree());
  EXPECT_EQ(nullptr, rootOnly.getClusterTree()->secondChild);
  rootOnly.setMinParentClusterSize(0);
  EXPECT_EQ(0u, rootOnly.level);
}

}  // namespace

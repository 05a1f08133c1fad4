// Tests of the direct hand-off of the encoder's cluster tree to a decoder: what a decoder receives for
// small meshes, that on every shared mesh the handed-over decoder shows the same triangles as a decoder
// of the same encoder's stream at every level, that the rewritten mesh record encodes the same mesh
// again, and that nothing leaks whichever of encoder and decoder is destroyed first.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "LumoDecoder.h"
#include "LumoEncoder.h"
#include "LumoDecoderStreams.h"
#include "MeshFile.h"

namespace {

// A decoder that records what the hand-off gives it and then takes it over like any decoder.
class RecordingDecoder : public LumoDecoder {
 public:
  int noResets = 0;
  LumoDecoderCluster* root = nullptr;
  LumoDecoderCluster** levels = nullptr;
  unsigned int count = 0;

  using LumoDecoder::reset;
  void reset(LumoBrep& mesh, LumoDecoderCluster* r, LumoDecoderCluster** l, unsigned int n) override {
    noResets++;
    root = r;
    levels = l;
    count = n;
    LumoDecoder::reset(mesh, r, l, n);
  }
};

// A mesh record from literal positions and triangles (three indices each); released with deleteLists().
LumoBrep makeMesh(const std::vector<float>& positions, const std::vector<int32_t>& corners) {
  LumoBrep mesh;
  mesh.noVertices = uint32_t(positions.size() / 3);
  mesh.vertices = new float[positions.size()];
  std::copy(positions.begin(), positions.end(), mesh.vertices);
  mesh.noTriangles = uint32_t(corners.size() / 3);
  mesh.triangles = new int32_t[size_t(mesh.noTriangles) * 4];
  for (uint32_t t = 0; t < mesh.noTriangles; t++) {
    std::copy(corners.begin() + 3 * t, corners.begin() + 3 * t + 3, mesh.triangles + 4 * t);
    mesh.triangles[4 * t + 3] = -1;
  }
  return mesh;
}

// The worked example of the stream layout: m0 = (4, 0, 0), m1 = (4, 1, 0), m2 = (0, 0, 1), one triangle.
LumoBrep workedExample() { return makeMesh({4, 0, 0, 4, 1, 0, 0, 0, 1}, {0, 1, 2}); }

// A small irregular grid: n × n vertices, two triangles per cell, positions jittered so that no two
// distances tie.
LumoBrep grid(int n) {
  std::vector<float> positions;
  for (int y = 0; y < n; y++)
    for (int x = 0; x < n; x++) {
      positions.push_back(float(x) + 0.013f * float((x * 7 + y * 3) % 11));
      positions.push_back(float(y) + 0.017f * float((x * 5 + y * 9) % 13));
      positions.push_back(0.05f * float((x * y) % 7));
    }
  std::vector<int32_t> corners;
  for (int y = 0; y + 1 < n; y++)
    for (int x = 0; x + 1 < n; x++) {
      int32_t v = y * n + x;
      corners.insert(corners.end(), {v, v + 1, v + n + 1, v, v + n + 1, v + n});
    }
  return makeMesh(positions, corners);
}

// A float as the stream carries it: the bit pattern with its low 8 bits cleared.
uint32_t bits24(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u & 0xFFFFFF00u;
}

uint32_t bits32(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Everything a corner of a shown triangle shows: position, per-vertex colour, normal, texture
// coordinates, as float bit patterns (24-bit when `truncate`), zero where the mesh has no such data.
typedef std::array<uint32_t, 11> CornerKey;

CornerKey cornerKey(const LumoBrep& mesh, uint32_t t, int c, bool truncate) {
  auto bits = [truncate](float f) { return truncate ? bits24(f) : bits32(f); };
  CornerKey key{};
  uint32_t v = uint32_t(mesh.triangles[4 * size_t(t) + c]);
  for (int i = 0; i < 3; i++) key[i] = bits(mesh.vertices[3 * size_t(v) + i]);
  if (mesh.colorBinding == 2)
    for (int i = 0; i < 3; i++) key[3 + i] = bits(mesh.colors[3 * size_t(v) + i]);
  if (mesh.hasNormals)
    for (int i = 0; i < 3; i++) key[6 + i] = bits(mesh.normals[3 * size_t(v) + i]);
  if (mesh.hasTexture)
    for (int i = 0; i < 2; i++) key[9 + i] = bits(mesh.texCoords[6 * size_t(t) + 2 * c + i]);
  return key;
}

// The first difference between the triangle tables of two decoders in their first `slots` slots (the
// shown ones by default), or "" when they agree.
std::string firstDifference(LumoDecoder& handed, LumoDecoder& streamed, uint32_t slots = 0xFFFFFFFFu) {
  const LumoBrep& a = *handed.getBrep();
  const LumoBrep& b = *streamed.getBrep();
  if (slots == 0xFFFFFFFFu) {
    if (a.noTriangles != b.noTriangles)
      return "shown " + std::to_string(a.noTriangles) + " against " + std::to_string(b.noTriangles);
    slots = a.noTriangles;
  }
  if (a.colorBinding == 1)
    for (int i = 0; i < 3; i++)
      if (bits24(a.colors[i]) != bits24(b.colors[i])) return "overall colour";
  for (uint32_t t = 0; t < slots; t++)
    for (int c = 0; c < 3; c++)
      if (cornerKey(a, t, c, true) != cornerKey(b, t, c, true))
        return "slot " + std::to_string(t) + " corner " + std::to_string(c);
  return "";
}

// The first `count` triangles of a table, each rotated to start at its least corner and then sorted:
// two tables compare equal when they hold the same triangles, with the same winding, in any order.
std::vector<std::array<CornerKey, 3>> triangleSet(const LumoBrep& mesh, uint32_t count, bool truncate) {
  std::vector<std::array<CornerKey, 3>> set;
  for (uint32_t t = 0; t < count; t++) {
    std::array<CornerKey, 3> k = {cornerKey(mesh, t, 0, truncate), cornerKey(mesh, t, 1, truncate),
                                  cornerKey(mesh, t, 2, truncate)};
    std::array<CornerKey, 3> best = k;
    for (int r = 1; r < 3; r++) {
      std::array<CornerKey, 3> rotated = {k[r], k[(r + 1) % 3], k[(r + 2) % 3]};
      best = std::min(best, rotated);
    }
    set.push_back(best);
  }
  std::sort(set.begin(), set.end());
  return set;
}

// Walks the handed-over tree and the stream decoder's tree side by side (with a stack: trees are deep)
// and reports the first node whose vertex (by truncated position), shape, corner list or triangle total
// differs; then checks that both level arrays name corresponding nodes in the same order.
std::string compareTrees(LumoDecoder& handed, LumoDecoder& streamed) {
  const LumoBrep& a = *handed.getBrep();
  const LumoBrep& b = *streamed.getBrep();
  std::unordered_map<const LumoDecoderCluster*, const LumoDecoderCluster*> partner;
  std::vector<std::pair<const LumoDecoderCluster*, const LumoDecoderCluster*>> stack;
  stack.push_back({handed.getClusterTree(), streamed.getClusterTree()});
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    if (!x || !y) {
      if (x != y) return "one tree lacks a node";
      continue;
    }
    partner[x] = y;
    for (int i = 0; i < 3; i++)
      if (bits24(a.vertices[3 * size_t(x->vertex) + i]) != bits24(b.vertices[3 * size_t(y->vertex) + i]))
        return "vertex of a node";
    if (!x->secondChild != !y->secondChild) return "leaf against split";
    if (!x->secondChild) continue;
    if (x->totalNoTriangles != y->totalNoTriangles) return "triangle total";
    const LumoCorner* p = x->corners;
    const LumoCorner* q = y->corners;
    for (; p && q; p = p->next, q = q->next)
      if (p->triangle != q->triangle || p->corner != q->corner) return "corner list entry";
    if (p || q) return "corner list length";
    stack.push_back({x->firstChild, y->firstChild});
    stack.push_back({x->secondChild, y->secondChild});
  }
  if (handed.noLevels != streamed.noLevels) return "number of levels";
  for (uint32_t i = 0; i < handed.noLevels; i++)
    if (partner[handed.levelClusters[i]] != streamed.levelClusters[i])
      return "level " + std::to_string(i);
  return "";
}

TEST(LumoEncoderHandOff, WorkedExampleGivesLevelsTotalsCornerListsAndStreamOrderRow) {
  LumoBrep mesh = workedExample();
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  RecordingDecoder decoder;
  encoder.initDecoder(&decoder);

  ASSERT_EQ(1, decoder.noResets);
  ASSERT_EQ(2u, decoder.count);
  LumoDecoderCluster* root = decoder.root;
  ASSERT_NE(nullptr, root);
  ASSERT_NE(nullptr, root->firstChild);
  ASSERT_NE(nullptr, root->secondChild);
  LumoDecoderCluster* pair = root->firstChild;  // {m0, m1}
  EXPECT_EQ(root, decoder.levels[0]);
  EXPECT_EQ(pair, decoder.levels[1]);
  EXPECT_EQ(root, decoder.getClusterTree());
  EXPECT_EQ(decoder.levels, decoder.levelClusters);
  EXPECT_EQ(2u, decoder.noLevels);

  EXPECT_EQ(1u, root->vertex);
  EXPECT_EQ(std::sqrt(18.0f), root->size);
  EXPECT_EQ(0u, root->totalNoTriangles);
  EXPECT_EQ(nullptr, root->corners);
  EXPECT_EQ(1u, pair->vertex);
  EXPECT_EQ(1.0f, pair->size);
  EXPECT_EQ(1u, pair->totalNoTriangles);
  EXPECT_EQ(nullptr, pair->corners);
  ASSERT_NE(nullptr, pair->secondChild);
  const LumoDecoderCluster* leaves[3] = {root->secondChild, pair->firstChild, pair->secondChild};
  const uint32_t leafVertices[3] = {2, 1, 0};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(leafVertices[i], leaves[i]->vertex);
    EXPECT_EQ(nullptr, leaves[i]->firstChild);
    EXPECT_EQ(nullptr, leaves[i]->secondChild);
    EXPECT_EQ(nullptr, leaves[i]->corners);
  }

  // Row 0 in mesh vertex numbers; the word behind it is left as it was.
  EXPECT_EQ(2, mesh.triangles[0]);
  EXPECT_EQ(0, mesh.triangles[1]);
  EXPECT_EQ(1, mesh.triangles[2]);
  EXPECT_EQ(-1, mesh.triangles[3]);

  // The encoder gave its tree away; the decoder borrows the record's arrays and shows nothing yet.
  EXPECT_EQ(0, encoder.clusterTreeBuilt);
  EXPECT_EQ(nullptr, encoder.clusterTree);
  EXPECT_EQ(nullptr, encoder.clusterList);
  EXPECT_EQ(mesh.triangles, decoder.getBrep()->triangles);
  EXPECT_EQ(mesh.vertices, decoder.getBrep()->vertices);
  EXPECT_EQ(1u, decoder.getMaxNoTriangles());
  EXPECT_EQ(1u, decoder.getAvailableNoTriangles());
  EXPECT_EQ(0u, decoder.getBrep()->noTriangles);
  EXPECT_EQ(1u, decoder.setAvailableNoTriangles());
  EXPECT_EQ(1u, decoder.getBrep()->noTriangles);
  EXPECT_EQ(2, mesh.triangles[0]);
  EXPECT_EQ(0, mesh.triangles[1]);
  EXPECT_EQ(1, mesh.triangles[2]);
  mesh.deleteLists();
}

TEST(LumoEncoderHandOff, TreeWithoutSplitsHandsOverNullRootAndNoLevels) {
  struct Case {
    const char* name;
    std::vector<float> positions;
    std::vector<int32_t> corners;
  };
  const Case cases[] = {
      {"no vertex", {}, {}},
      {"one vertex", {1, 2, 3}, {}},
      {"all at one position", {1, 1, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LumoBrep mesh = makeMesh(c.positions, c.corners);
    LumoEncoder encoder;
    encoder.setBrep(mesh);
    RecordingDecoder decoder;
    encoder.initDecoder(&decoder);
    EXPECT_EQ(1, decoder.noResets);
    EXPECT_EQ(nullptr, decoder.root);
    EXPECT_EQ(0u, decoder.count);
    EXPECT_EQ(nullptr, decoder.getClusterTree());
    EXPECT_EQ(0u, decoder.noLevels);
    EXPECT_EQ(0, encoder.clusterTreeBuilt);
    EXPECT_EQ(mesh.noTriangles, decoder.getMaxNoTriangles());
    EXPECT_EQ(0u, decoder.setAvailableNoTriangles());
    EXPECT_EQ(0u, decoder.getBrep()->noTriangles);
    // A triangle that no split restores stays in the table as it was.
    for (size_t i = 0; i < c.corners.size(); i++) EXPECT_EQ(c.corners[i], mesh.triangles[i / 3 * 4 + i % 3]);
    mesh.deleteLists();
  }
}

// The coordinates are rewritten into the record's own array, so a caller whose record shares the arrays
// (setBrep) still holds a valid array and releases it once.
TEST(LumoEncoderHandOff, TextureCoordinatesFollowTheirCornersInTheRecordsOwnArray) {
  LumoBrep mesh = workedExample();
  mesh.hasTexture = 1;
  mesh.texCoords = new float[6]{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
  mesh.imageWidth = 1;
  mesh.imageHeight = 1;
  mesh.image = new unsigned char[3]{1, 2, 3};
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoDecoder decoder;
  encoder.initDecoder(&decoder);
  EXPECT_EQ(mesh.texCoords, encoder.brep.texCoords);
  EXPECT_EQ(mesh.texCoords, decoder.getBrep()->texCoords);
  // Row (m2, m0, m1): the pairs of mesh corners 2, 0, 1.
  const float expected[6] = {0.5f, 0.6f, 0.1f, 0.2f, 0.3f, 0.4f};
  for (int i = 0; i < 6; i++) EXPECT_EQ(expected[i], mesh.texCoords[i]) << i;
  mesh.deleteLists();
}

// Triangles that the tree leaves out (one vertex at two corners) are restored by no split: they follow
// the restored ones in the rewritten table, in mesh order, with their texture coordinates, so that the
// record still holds every triangle of the mesh.
TEST(LumoEncoderHandOff, TrianglesNoSplitRestoresFollowTheRestoredOnes) {
  LumoBrep mesh = grid(4);
  const uint32_t noGood = mesh.noTriangles;
  const std::vector<std::array<int32_t, 3>> degenerate = {{5, 5, 6}, {2, 3, 2}};
  // The degenerate triangles go in at slots 3 and 7, between good ones.
  std::vector<int32_t> corners;
  for (uint32_t t = 0, d = 0; t < noGood; t++) {
    if (t == 3 || t == 6) {
      corners.insert(corners.end(), degenerate[d].begin(), degenerate[d].end());
      d++;
    }
    corners.insert(corners.end(), mesh.triangles + 4 * t, mesh.triangles + 4 * t + 3);
  }
  std::vector<float> positions(mesh.vertices, mesh.vertices + 3 * mesh.noVertices);
  mesh.deleteLists();
  mesh = makeMesh(positions, corners);
  mesh.hasTexture = 1;
  mesh.texCoords = new float[6 * size_t(mesh.noTriangles)];
  for (uint32_t i = 0; i < 6 * mesh.noTriangles; i++) mesh.texCoords[i] = float(i);
  mesh.imageWidth = 1;
  mesh.imageHeight = 1;
  mesh.image = new unsigned char[3]{1, 2, 3};
  LumoBrep* original = mesh.copyBrep();

  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoDecoder decoder;
  encoder.initDecoder(&decoder);
  EXPECT_EQ(mesh.noTriangles, decoder.getMaxNoTriangles());
  EXPECT_EQ(noGood, decoder.getAvailableNoTriangles());
  EXPECT_EQ(noGood, decoder.setNoTriangles(mesh.noTriangles));
  ASSERT_EQ(noGood, decoder.getBrep()->noTriangles);
  const uint32_t meshSlots[2] = {3, 7};
  for (uint32_t d = 0; d < 2; d++) {
    const uint32_t row = noGood + d;
    for (int c = 0; c < 3; c++) EXPECT_EQ(degenerate[d][c], mesh.triangles[4 * row + c]) << d;
    for (int i = 0; i < 6; i++) EXPECT_EQ(float(6 * meshSlots[d] + i), mesh.texCoords[6 * row + i]) << d;
  }
  // The restored ones are the mesh's good triangles, each with its coordinates.
  LumoBrep good = *original;
  good.triangles = new int32_t[4 * size_t(noGood)];
  good.texCoords = new float[6 * size_t(noGood)];
  for (uint32_t t = 0, g = 0; t < original->noTriangles; t++) {
    if (t == meshSlots[0] || t == meshSlots[1]) continue;
    std::copy(original->triangles + 4 * t, original->triangles + 4 * t + 4, good.triangles + 4 * g);
    std::copy(original->texCoords + 6 * t, original->texCoords + 6 * t + 6, good.texCoords + 6 * g);
    g++;
  }
  EXPECT_TRUE(triangleSet(good, noGood, false) == triangleSet(mesh, noGood, false));
  delete[] good.triangles;
  delete[] good.texCoords;
  original->deleteLists();
  delete original;
  mesh.deleteLists();
}

// The decoder owns the tree and level array, the encoder keeps nothing of its own tree, and the mesh
// arrays stay their filler's: LeakSanitizer checks both orders of destruction.
TEST(LumoEncoderHandOff, EitherOrderOfDestructionReleasesEverything) {
  for (bool encoderFirst : {true, false}) {
    SCOPED_TRACE(encoderFirst ? "encoder destroyed first" : "decoder destroyed first");
    LumoBrep mesh = grid(9);
    auto encoder = std::make_unique<LumoEncoder>();
    auto decoder = std::make_unique<LumoDecoder>();
    encoder->setBrep(mesh);
    encoder->initDecoder(decoder.get());
    EXPECT_EQ(mesh.noTriangles, decoder->setAvailableNoTriangles());
    if (encoderFirst) encoder = nullptr;
    decoder->setNoTriangles(mesh.noTriangles / 2);
    EXPECT_LE(decoder->getBrep()->noTriangles, mesh.noTriangles / 2);
    decoder = nullptr;
    encoder = nullptr;
    mesh.deleteLists();
  }
}

// A second hand-off builds a new tree from the record as the first left it (at the full level) and
// replaces the decoder's tree; the full mesh is the same.
TEST(LumoEncoderHandOff, SecondHandOffReplacesTheFirstWithTheSameMesh) {
  LumoBrep mesh = grid(8);
  LumoBrep* original = mesh.copyBrep();
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoDecoder decoder;
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    encoder.initDecoder(&decoder);
    EXPECT_EQ(mesh.noTriangles, decoder.setAvailableNoTriangles());
    EXPECT_EQ(mesh.noTriangles, decoder.getBrep()->noTriangles);
    EXPECT_TRUE(triangleSet(*original, original->noTriangles, false) ==
                triangleSet(mesh, mesh.noTriangles, false));
  }
  original->deleteLists();
  delete original;
  mesh.deleteLists();
}

class LumoEncoderHandOffMesh : public testing::TestWithParam<const char*> {};

// One encoder writes its stream and then hands the same tree to a second decoder: both decoders must hold
// the same tree and show the same triangles at every level of a sweep. Then, from the full level, the
// record holds the mesh's own triangles in stream order, and a stream written from it anew decodes to
// the same full mesh.
TEST_P(LumoEncoderHandOffMesh, MatchesTheStreamOfTheSameEncoderAtEveryLevel) {
  LumoBrep mesh;
  ASSERT_TRUE(meshfile::read(meshfile::path(GetParam()), mesh));
  LumoBrep* original = mesh.copyBrep();
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoDecoder streamed;
  streams::feedChain(streamed, encoder.getBitstream(1024));
  LumoDecoder handed;
  encoder.initDecoder(&handed);

  ASSERT_EQ(streamed.getMaxNoTriangles(), handed.getMaxNoTriangles());
  ASSERT_EQ(streamed.getAvailableNoTriangles(), handed.getAvailableNoTriangles());
  EXPECT_EQ("", compareTrees(handed, streamed));
  // Before any level is shown, both tables hold every row as its own split restores it. (The shared
  // meshes have no splits of size 0, which the stream decoder would have applied while decoding.)
  ASSERT_EQ(0u, streamed.level);
  EXPECT_EQ("", firstDifference(handed, streamed, handed.getMaxNoTriangles()));

  uint32_t full = handed.getAvailableNoTriangles();
  std::vector<uint32_t> sweep = {full};
  for (uint32_t k = 60; k-- > 1;) sweep.push_back(uint32_t(uint64_t(full) * k / 60));
  uint32_t lcg = 12345;
  for (int i = 0; i < 40; i++) {
    lcg = lcg * 1664525u + 1013904223u;
    sweep.push_back(lcg % (full + 1));
  }
  sweep.insert(sweep.end(), {1, 0, full, full + 7, 0, full});
  for (uint32_t n : sweep) {
    SCOPED_TRACE(n);
    ASSERT_EQ(streamed.setNoTriangles(n), handed.setNoTriangles(n));
    ASSERT_EQ("", firstDifference(handed, streamed));
  }

  // Full level: the shared table holds every triangle of the mesh once, rotated, with its coordinates.
  EXPECT_EQ(mesh.noTriangles, handed.getBrep()->noTriangles);
  std::vector<std::array<CornerKey, 3>> meshTriangles = triangleSet(*original, original->noTriangles, false);
  EXPECT_TRUE(meshTriangles == triangleSet(*handed.getBrep(), handed.getBrep()->noTriangles, false));

  LumoDecoder rewritten;
  streams::feedChain(rewritten, encoder.getBitstream(1024));
  EXPECT_EQ(1, encoder.clusterTreeBuilt);
  EXPECT_EQ(mesh.noTriangles, rewritten.setAvailableNoTriangles());
  EXPECT_TRUE(triangleSet(*original, original->noTriangles, true) ==
              triangleSet(*rewritten.getBrep(), rewritten.getBrep()->noTriangles, true));

  original->deleteLists();
  delete original;
  mesh.deleteLists();
}

INSTANTIATE_TEST_SUITE_P(SharedMeshes, LumoEncoderHandOffMesh,
                         testing::Values("spot.iv", "cow.iv", "fandisk.iv", "bunny.iv", "horse.iv"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace

// Round trip of the shared meshes through the stream writer and the decoder: the full decoded mesh holds
// exactly the source's triangles with three different vertex indices, up to vertex numbering, rotation of
// corners and the 24-bit truncation of floats, attributes included; and the writer's stream fed in every
// way (one buffer, 1024-byte buffers, one-byte buffers, bit budgets) decodes alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "LumoDecoder.h"
#include "LumoDecoderStreams.h"
#include "LumoEncoder.h"
#include "MeshFile.h"

using namespace streams;

namespace {

// One corner as the mesh shows it: position, colour, normal and texture coordinate, truncated as the
// stream carries them (absent attributes are zero).
typedef std::array<float, 11> CornerKey;
typedef std::array<CornerKey, 3> TriangleKey;

CornerKey cornerKey(const LumoBrep& mesh, uint32_t triangle, int corner, bool truncate) {
  CornerKey key{};
  uint32_t v = uint32_t(mesh.triangles[4 * triangle + corner]);
  auto put = [&](int at, float f) { key[at] = truncate ? truncated(f) : f; };
  for (int i = 0; i < 3; i++) put(i, mesh.vertices[3 * v + i]);
  if (mesh.colorBinding == 2)
    for (int i = 0; i < 3; i++) put(3 + i, mesh.colors[3 * v + i]);
  if (mesh.hasNormals)
    for (int i = 0; i < 3; i++) put(6 + i, mesh.normals[3 * v + i]);
  if (mesh.hasTexture)
    for (int i = 0; i < 2; i++) put(9 + i, mesh.texCoords[6 * triangle + 2 * corner + i]);
  return key;
}

// The triangles as a sorted list, each rotated so that its smallest corner comes first (winding kept).
std::vector<TriangleKey> triangleKeys(const LumoBrep& mesh, uint32_t count, bool source) {
  std::vector<TriangleKey> keys;
  for (uint32_t t = 0; t < count; t++) {
    const int32_t* s = mesh.triangles + 4 * t;
    if (source && (s[0] == s[1] || s[1] == s[2] || s[0] == s[2])) continue;
    TriangleKey k = {cornerKey(mesh, t, 0, source), cornerKey(mesh, t, 1, source), cornerKey(mesh, t, 2, source)};
    std::rotate(k.begin(), std::min_element(k.begin(), k.end()), k.end());
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<uint8_t> bytesOf(const LumoBitstream* chain) {
  std::vector<uint8_t> bytes;
  for (; chain; chain = chain->next) bytes.insert(bytes.end(), chain->data, chain->data + chain->length);
  return bytes;
}

class LumoDecoderRoundTrip : public ::testing::TestWithParam<const char*> {
 protected:
  // The stream of each mesh is written once and kept for the other tests of the same mesh.
  void SetUp() override {
    ASSERT_TRUE(meshfile::read(meshfile::path(GetParam()), source));
    static std::map<std::string, std::vector<uint8_t>> written;
    std::vector<uint8_t>& stream = written[GetParam()];
    if (stream.empty()) {
      LumoEncoder encoder;
      encoder.setBrep(source);
      LumoBitstream* chain = encoder.getBitstream(1024);
      stream = bytesOf(chain);
      deleteBitstream(chain);
    }
    bytes = stream;
  }
  void TearDown() override { source.deleteLists(); }

  LumoBrep source;
  std::vector<uint8_t> bytes;
};

INSTANTIATE_TEST_SUITE_P(Meshes, LumoDecoderRoundTrip,
                         ::testing::Values("spot.iv", "cow.iv", "fandisk.iv", "bunny.iv", "horse.iv"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

TEST_P(LumoDecoderRoundTrip, FullMeshIsTheSourceMesh) {
  LumoDecoder d;
  for (LumoBitstream* b : pieces(bytes, 1024)) {
    d.addBitstream(b);
    d.decodeBitstream();
  }
  ASSERT_FALSE(d.isDamaged());
  ASSERT_EQ(nullptr, d.firstBitstream);
  const LumoBrep& mesh = *d.getBrep();
  EXPECT_EQ(source.noVertices, mesh.noVertices);
  EXPECT_EQ(source.noTriangles, d.getMaxNoTriangles());
  EXPECT_EQ(source.colorBinding, mesh.colorBinding);
  EXPECT_EQ(source.hasNormals, mesh.hasNormals);
  EXPECT_EQ(source.hasTexture, mesh.hasTexture);
  if (source.colorBinding == 1) {
    for (int i = 0; i < 3; i++) EXPECT_EQ(truncated(source.colors[i]), mesh.colors[i]);
  }
  if (source.hasTexture) {
    ASSERT_EQ(source.imageWidth, mesh.imageWidth);
    ASSERT_EQ(source.imageHeight, mesh.imageHeight);
    EXPECT_TRUE(std::equal(source.image, source.image + size_t(source.imageWidth) * source.imageHeight * 3,
                           mesh.image));
  }
  EXPECT_EQ(d.noDecodedTriangles, d.getAvailableNoTriangles());
  d.setAvailableNoTriangles();
  ASSERT_EQ(d.getAvailableNoTriangles(), mesh.noTriangles);
  for (uint32_t t = 0; t < mesh.noTriangles; t++) {
    const int32_t* s = mesh.triangles + 4 * t;
    ASSERT_TRUE(s[0] != s[1] && s[1] != s[2] && s[0] != s[2]) << "triangle " << t;
  }
  std::vector<TriangleKey> expected = triangleKeys(source, source.noTriangles, true);
  std::vector<TriangleKey> decoded = triangleKeys(mesh, mesh.noTriangles, false);
  EXPECT_EQ(expected.size(), decoded.size());
  EXPECT_TRUE(expected == decoded);

  // Full mesh, level 0, full mesh: the table is restored exactly.
  std::vector<int32_t> full(mesh.triangles, mesh.triangles + 4 * size_t(mesh.noTriangles));
  d.setNoTriangles(0);
  EXPECT_EQ(0u, mesh.noTriangles);
  d.setAvailableNoTriangles();
  for (size_t t = 0; t < full.size() / 4; t++)
    for (int c = 0; c < 3; c++) ASSERT_EQ(full[4 * t + c], mesh.triangles[4 * t + c]);
}

TEST_P(LumoDecoderRoundTrip, EveryWayOfFeedingDecodesAlike) {
  LumoDecoder whole;
  feedWhole(whole, bytes);
  whole.setAvailableNoTriangles();

  LumoDecoder kilobytes;
  for (LumoBitstream* b : pieces(bytes, 1024)) kilobytes.addBitstream(b);
  kilobytes.decodeBitstream();
  kilobytes.setAvailableNoTriangles();
  expectSameDecoding(whole, kilobytes);

  LumoDecoder bytewise;
  EXPECT_EQ(bytes.size(), feedBytewise(bytewise, bytes));
  bytewise.setAvailableNoTriangles();
  expectSameDecoding(whole, bytewise);

  // Small budgets, with a large one now and then for the textured header.
  LumoDecoder budgeted;
  for (LumoBitstream* b : pieces(bytes, 4096)) budgeted.addBitstream(b);
  const unsigned budgets[] = {0, 1, 13, 64, 100, 300, 1000, 200000};
  for (int call = 0; budgeted.firstBitstream; call++) {
    ASSERT_LT(call, 100000000);
    budgeted.decodeBitstream(budgets[call % 8]);
  }
  budgeted.setAvailableNoTriangles();
  expectSameDecoding(whole, budgeted);
}

}  // namespace

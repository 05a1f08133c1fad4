// Golden stream digests: the encoder's stream of every shared mesh and of the generated 100k-triangle
// spheres must stay byte for byte what it was when the digests were recorded, whatever is done to make
// the encoder faster. The 1M- and 4M-triangle spheres take too long for a unit test; lumobench checks
// their digests (bench/StreamDigest.h). The generator itself is checked here too, since the digests of
// its meshes are only worth something while it makes the same closed sphere every time.
#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "LumoEncoder.h"
#include "MeshFile.h"
#include "../bench/MeshGenerator.h"
#include "../bench/StreamDigest.h"

namespace {

struct Golden {
  const char* mesh;
  uint64_t digest;
};

uint64_t digestOf(LumoBrep& mesh, unsigned int bufferSize) {
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoBitstream* chain = encoder.getBitstream(bufferSize);
  uint64_t digest = streamdigest::fnv1a(chain);
  deleteBitstream(chain);
  return digest;
}

class SharedMeshDigest : public ::testing::TestWithParam<Golden> {};

TEST_P(SharedMeshDigest, StreamIsUnchanged) {
  LumoBrep mesh;
  ASSERT_TRUE(meshfile::read(meshfile::path(GetParam().mesh), mesh));
  EXPECT_EQ(digestOf(mesh, 1024), GetParam().digest) << GetParam().mesh;
  mesh.deleteLists();
}

INSTANTIATE_TEST_SUITE_P(Meshes, SharedMeshDigest,
                         ::testing::Values(Golden{"spot.iv", 0xf3c3ddd18b7d0490ull},
                                           Golden{"cow.iv", 0x2ac2850997c89ac1ull},
                                           Golden{"fandisk.iv", 0x7d55dd65c6b236e6ull},
                                           Golden{"bunny.iv", 0x71abfe12cd5f2adbull},
                                           Golden{"horse.iv", 0x9e67799df4c69516ull}),
                         [](const ::testing::TestParamInfo<Golden>& info) {
                           std::string name = info.param.mesh;
                           return name.substr(0, name.find('.'));
                         });

class GeneratedMeshDigest : public ::testing::TestWithParam<const char*> {};

TEST_P(GeneratedMeshDigest, StreamIsUnchanged) {
  const streamdigest::GeneratedMesh* generated = streamdigest::findGeneratedMesh(GetParam());
  ASSERT_NE(generated, nullptr);
  ASSERT_NE(generated->digest, 0u) << "no digest recorded for " << GetParam();
  LumoBrep mesh;
  meshgen::generate(generated->options, mesh);
  EXPECT_EQ(digestOf(mesh, 1024), generated->digest) << GetParam();
  mesh.deleteLists();
}

INSTANTIATE_TEST_SUITE_P(Spheres, GeneratedMeshDigest,
                         ::testing::Values("sphere-100k", "sphere-100k-full"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// The digest covers the stream, not how it is cut into buffers.
TEST(StreamDigest, DoesNotDependOnTheBufferSize) {
  LumoBrep mesh;
  ASSERT_TRUE(meshfile::read(meshfile::path("cow.iv"), mesh));
  uint64_t whole = digestOf(mesh, 1 << 20);
  EXPECT_EQ(digestOf(mesh, 1024), whole);
  EXPECT_EQ(digestOf(mesh, 7), whole);
  mesh.deleteLists();
}

TEST(StreamDigest, TellsStreamsApartByEveryByte) {
  unsigned char a[] = {1, 2, 3}, b[] = {1, 2, 4}, c[] = {1, 2};
  LumoBitstream sa{nullptr, 3, a}, sb{nullptr, 3, b}, sc{nullptr, 2, c};
  EXPECT_NE(streamdigest::fnv1a(&sa), streamdigest::fnv1a(&sb));
  EXPECT_NE(streamdigest::fnv1a(&sa), streamdigest::fnv1a(&sc));
  LumoBitstream tail{nullptr, 1, a + 2};
  LumoBitstream head{&tail, 2, a};
  EXPECT_EQ(streamdigest::fnv1a(&head), streamdigest::fnv1a(&sa));
}

// 20 n² triangles and 10 n² + 2 vertices; every edge is used once in each direction (closed, wound
// consistently), every index is in range, and no triangle repeats a vertex.
TEST(MeshGenerator, MakesAClosedConsistentlyWoundSphere) {
  for (uint32_t frequency : {1u, 2u, 7u, 20u}) {
    meshgen::Options options;
    options.frequency = frequency;
    LumoBrep mesh;
    meshgen::generate(options, mesh);
    EXPECT_EQ(mesh.noTriangles, 20 * frequency * frequency);
    EXPECT_EQ(mesh.noVertices, 10 * frequency * frequency + 2);
    std::map<std::pair<int32_t, int32_t>, int> edges;
    for (uint32_t t = 0; t < mesh.noTriangles; t++) {
      const int32_t* c = mesh.triangles + 4 * size_t(t);
      EXPECT_EQ(c[3], -1);
      for (int k = 0; k < 3; k++) {
        ASSERT_GE(c[k], 0);
        ASSERT_LT(uint32_t(c[k]), mesh.noVertices);
        EXPECT_NE(c[k], c[(k + 1) % 3]);
        edges[{c[k], c[(k + 1) % 3]}]++;
      }
    }
    for (const auto& edge : edges) {
      EXPECT_EQ(edge.second, 1);
      EXPECT_EQ(edges.count({edge.first.second, edge.first.first}), 1u);
    }
    mesh.deleteLists();
  }
}

// Outward winding: the triangle's normal points away from the centre.
TEST(MeshGenerator, WindsTrianglesOutward) {
  meshgen::Options options;
  options.frequency = 5;
  LumoBrep mesh;
  meshgen::generate(options, mesh);
  for (uint32_t t = 0; t < mesh.noTriangles; t++) {
    const int32_t* c = mesh.triangles + 4 * size_t(t);
    const float* p[3] = {mesh.vertices + 3 * c[0], mesh.vertices + 3 * c[1], mesh.vertices + 3 * c[2]};
    double e1[3], e2[3], centre[3];
    for (int a = 0; a < 3; a++) {
      e1[a] = double(p[1][a]) - p[0][a];
      e2[a] = double(p[2][a]) - p[0][a];
      centre[a] = (double(p[0][a]) + p[1][a] + p[2][a]) / 3;
    }
    double normal[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                        e1[0] * e2[1] - e1[1] * e2[0]};
    EXPECT_GT(normal[0] * centre[0] + normal[1] * centre[1] + normal[2] * centre[2], 0) << t;
  }
  mesh.deleteLists();
}

TEST(MeshGenerator, FillsEveryRequestedAttribute) {
  meshgen::Options options;
  options.frequency = 4;
  options.colors = options.normals = options.texture = true;
  LumoBrep mesh;
  meshgen::generate(options, mesh);
  EXPECT_EQ(mesh.colorBinding, 2);
  ASSERT_NE(mesh.colors, nullptr);
  EXPECT_EQ(mesh.hasNormals, 1);
  ASSERT_NE(mesh.normals, nullptr);
  EXPECT_EQ(mesh.hasTexture, 1);
  ASSERT_NE(mesh.texCoords, nullptr);
  ASSERT_NE(mesh.image, nullptr);
  EXPECT_EQ(mesh.imageWidth, 64u);
  EXPECT_EQ(mesh.imageHeight, 64u);
  for (uint32_t v = 0; v < mesh.noVertices; v++) {
    const float* n = mesh.normals + 3 * size_t(v);
    EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-5f);
  }
  for (size_t i = 0; i < size_t(mesh.noTriangles) * 6; i++) {
    EXPECT_GE(mesh.texCoords[i], 0.0f);
    EXPECT_LE(mesh.texCoords[i], 1.0f);
  }
  mesh.deleteLists();

  meshgen::Options plain;
  plain.frequency = 4;
  meshgen::generate(plain, mesh);
  EXPECT_EQ(mesh.colorBinding, 0);
  EXPECT_EQ(mesh.colors, nullptr);
  EXPECT_EQ(mesh.hasNormals, 0);
  EXPECT_EQ(mesh.hasTexture, 0);
  mesh.deleteLists();
}

// The same options give the same floats, bit for bit: the digests depend on it.
TEST(MeshGenerator, IsDeterministic) {
  meshgen::Options options;
  options.frequency = 9;
  options.colors = options.normals = options.texture = true;
  LumoBrep a, b;
  meshgen::generate(options, a);
  meshgen::generate(options, b);
  ASSERT_EQ(a.noVertices, b.noVertices);
  ASSERT_EQ(a.noTriangles, b.noTriangles);
  EXPECT_EQ(std::memcmp(a.vertices, b.vertices, sizeof(float) * 3 * a.noVertices), 0);
  EXPECT_EQ(std::memcmp(a.triangles, b.triangles, sizeof(int32_t) * 4 * a.noTriangles), 0);
  EXPECT_EQ(std::memcmp(a.colors, b.colors, sizeof(float) * 3 * a.noVertices), 0);
  EXPECT_EQ(std::memcmp(a.normals, b.normals, sizeof(float) * 3 * a.noVertices), 0);
  EXPECT_EQ(std::memcmp(a.texCoords, b.texCoords, sizeof(float) * 6 * a.noTriangles), 0);
  a.deleteLists();
  b.deleteLists();
}

}  // namespace

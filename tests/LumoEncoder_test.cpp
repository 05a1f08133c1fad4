// The encoder object: construction and destruction without a mesh, setBrep sharing the record's arrays,
// and the built flag across setBrep and rebuilds.
#include "LumoEncoder.h"

#include <gtest/gtest.h>

namespace {

TEST(LumoEncoder, ConstructAndDestroyWithoutMesh) {
  LumoEncoder encoder;
  EXPECT_EQ(encoder.clusterTree, nullptr);
  EXPECT_EQ(encoder.clusterTreeBuilt, 0);
  EXPECT_EQ(encoder.brep.vertices, nullptr);
  EXPECT_EQ(encoder.brep.noVertices, 0u);
}

TEST(LumoEncoder, SetBrepSharesArraysAndClearsTheFlag) {
  LumoBrep mesh;
  mesh.noVertices = 3;
  mesh.vertices = new float[9]{0, 0, 0, 1, 0, 0, 0, 3, 0};
  mesh.noTriangles = 1;
  mesh.triangles = new int32_t[4]{0, 1, 2, -1};

  LumoEncoder encoder;
  encoder.setBrep(mesh);
  EXPECT_EQ(encoder.brep.vertices, mesh.vertices);
  EXPECT_EQ(encoder.brep.triangles, mesh.triangles);
  EXPECT_EQ(encoder.brep.noVertices, 3u);
  EXPECT_EQ(encoder.clusterTreeBuilt, 0);

  encoder.generateClusterTree();
  EXPECT_EQ(encoder.clusterTreeBuilt, 1);
  ASSERT_NE(encoder.clusterTree, nullptr);

  // A new mesh releases the old tree (LeakSanitizer) and asks for a new build.
  encoder.setBrep(mesh);
  EXPECT_EQ(encoder.clusterTreeBuilt, 0);
  encoder.generateClusterTree();
  EXPECT_EQ(encoder.noClusters, 5u);

  mesh.deleteLists();
}

}  // namespace

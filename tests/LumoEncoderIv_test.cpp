// Scene import: which nodes and fields of an Inventor scene become the mesh record, what is refused, and
// the shared meshes arriving with their counts and attributes.
#include "LumoEncoderIv.h"

#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/nodes/SoSeparator.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "MeshFile.h"

namespace {

class SceneImport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SoDB::init(); }

  static SoSeparator* readScene(const std::string& body) {
    std::string text = "#Inventor V2.1 ascii\n" + body;
    SoInput in;
    in.setBuffer(const_cast<char*>(text.c_str()), text.size());
    SoSeparator* root = SoDB::readAll(&in);
    if (root) root->ref();
    return root;
  }

  // Imports `body` into `encoder`; the scene is released again, the record must not depend on it.
  static bool import(LumoEncoderIv& encoder, const std::string& body) {
    SoSeparator* root = readScene(body);
    EXPECT_NE(root, nullptr) << body;
    if (!root) return false;
    bool ok = encoder.setIvObject(root);
    root->unref();
    return ok;
  }
};

const char* square = "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0, 0 1 0 ] }\n";
const char* twoTriangles = "IndexedFaceSet { coordIndex [ 0, 1, 2, -1, 0, 2, 3, -1 ] }\n";

TEST_F(SceneImport, PlainTriangles) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(square) + twoTriangles));
  const LumoBrep& b = encoder.brep;
  EXPECT_EQ(b.noVertices, 4u);
  EXPECT_EQ(b.noTriangles, 2u);
  EXPECT_EQ(b.colorBinding, 0);
  EXPECT_EQ(b.colors, nullptr);
  EXPECT_EQ(b.hasNormals, 0);
  EXPECT_EQ(b.hasTexture, 0);
  EXPECT_EQ(encoder.clusterTreeBuilt, 0);
  const int32_t expected[3] = {0, 2, 3};
  EXPECT_EQ(std::memcmp(b.triangles + 4, expected, sizeof expected), 0);
  EXPECT_EQ(b.vertices[3 * 2 + 1], 1.0f);
}

TEST_F(SceneImport, TrailingEntriesAreNotRead) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(square) + "IndexedFaceSet { coordIndex [ 0, 1, 2, -1, 0, 2, 3 ] }"));
  EXPECT_EQ(encoder.brep.noTriangles, 1u);
}

// Colour bindings: as many colours as vertices is per-vertex, any other number is one overall colour
// with every colour copied; an empty colour list is no material.
struct ColourCase {
  const char* colours;
  uint32_t count;
  int32_t binding;
};

class ImportColours : public SceneImport, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(ImportColours, Binding) {
  const ColourCase& c = GetParam();
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string("Material { diffuseColor [ ") + c.colours + " ] }\n" + square +
                                  twoTriangles));
  EXPECT_EQ(encoder.brep.colorBinding, c.binding);
  if (c.count == 0) {
    EXPECT_EQ(encoder.brep.colors, nullptr);
    return;
  }
  for (uint32_t i = 0; i < c.count; i++) EXPECT_EQ(encoder.brep.colors[3 * i], float((i + 1) / 10.0)) << i;
}

INSTANTIATE_TEST_SUITE_P(
    SceneImport, ImportColours,
    ::testing::Values(ColourCase{"0.1 0 0, 0.2 0 0, 0.3 0 0, 0.4 0 0", 4, 2},
                      ColourCase{"0.1 0 0", 1, 1},
                      ColourCase{"0.1 0 0, 0.2 0 0, 0.3 0 0", 3, 1},
                      ColourCase{"0.1 0 0, 0.2 0 0, 0.3 0 0, 0.4 0 0, 0.5 0 0", 5, 1},
                      ColourCase{"", 0, 0}));

TEST_F(SceneImport, OneVertexOneColourIsPerVertex) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, "Material { diffuseColor 1 0 0 }\nCoordinate3 { point 1 2 3 }\n"
                              "IndexedFaceSet { }\n"));
  EXPECT_EQ(encoder.brep.noVertices, 1u);
  EXPECT_EQ(encoder.brep.noTriangles, 0u);
  EXPECT_EQ(encoder.brep.colorBinding, 2);
}

TEST_F(SceneImport, Normals) {
  LumoEncoderIv more, fewer;
  ASSERT_TRUE(import(more, std::string("Normal { vector [ 0 0 1, 0 0 2, 0 0 3, 0 0 4, 0 0 5 ] }\n") +
                               square + twoTriangles));
  EXPECT_EQ(more.brep.hasNormals, 1);
  EXPECT_EQ(more.brep.normals[3 * 3 + 2], 4.0f);
  ASSERT_TRUE(import(fewer, std::string("Normal { vector [ 0 0 1, 0 0 2 ] }\n") + square + twoTriangles));
  EXPECT_EQ(fewer.brep.hasNormals, 0);
  EXPECT_EQ(fewer.brep.normals, nullptr);
}

const char* sixCoordinates =
    "TextureCoordinate2 { point [ 0 0, 1 0, 1 1, 0 0.5, 0.5 0.5, 0.25 1 ] }\n";
const char* rgbTexture = "Texture2 { image 4 2 3 0x010203 0x040506 0x070809 0x0a0b0c "
                         "0x0d0e0f 0x101112 0x131415 0x161718 }\n";

TEST_F(SceneImport, RgbTextureWithCornerCoordinates) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(rgbTexture) + sixCoordinates + square + twoTriangles));
  const LumoBrep& b = encoder.brep;
  ASSERT_EQ(b.hasTexture, 1);
  EXPECT_EQ(b.imageWidth, 4u);
  EXPECT_EQ(b.imageHeight, 2u);
  for (int i = 0; i < 24; i++) EXPECT_EQ(b.image[i], i + 1) << i;
  EXPECT_EQ(b.texCoords[2 * 5], 0.25f);     // corner 2 of triangle 1
  EXPECT_EQ(b.texCoords[2 * 5 + 1], 1.0f);
}

// Cases that import without a texture and succeed.
class UntexturedImport : public SceneImport, public ::testing::WithParamInterface<const char*> {};

TEST_P(UntexturedImport, Succeeds) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(GetParam()) + square + twoTriangles));
  EXPECT_EQ(encoder.brep.hasTexture, 0);
  EXPECT_EQ(encoder.brep.texCoords, nullptr);
  EXPECT_EQ(encoder.brep.image, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    SceneImport, UntexturedImport,
    ::testing::Values(
        // a texture without coordinates: its image is not even looked at
        "Texture2 { image 1 1 1 0xff }\n",
        // coordinates without a texture
        "TextureCoordinate2 { point [ 0 0, 1 0, 1 1, 0 0.5, 0.5 0.5, 0.25 1 ] }\n",
        // fewer coordinates than corners
        "Texture2 { image 1 1 3 0xff0000 }\nTextureCoordinate2 { point [ 0 0, 1 0, 1 1 ] }\n",
        // an RGB image of width 0
        "Texture2 { image 0 2 3 }\nTextureCoordinate2 { point [ 0 0, 1 0, 1 1, 0 0.5, 0.5 0.5, 0.25 1 ] }\n"));

// Scenes that are refused: the record and the flag stay as an earlier import left them.
class RefusedImport : public SceneImport, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedImport, LeavesTheRecordAlone) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(square) + twoTriangles));
  encoder.generateClusterTree();
  LumoBrep before = encoder.brep;
  EXPECT_FALSE(import(encoder, GetParam()));
  EXPECT_EQ(std::memcmp(&before, &encoder.brep, sizeof before), 0);
  EXPECT_EQ(encoder.clusterTreeBuilt, 1);
}

INSTANTIATE_TEST_SUITE_P(
    SceneImport, RefusedImport,
    ::testing::Values(
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n",                      // no face set
        "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n",                      // no coordinates
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0, 0 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, 1, 2, 3, -1 ] }\n",                   // a quadrilateral
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, 1, 3, -1 ] }\n",                      // index beyond the vertices
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, -2, 1, -1 ] }\n",                     // negative index
        "Texture2 { image 1 1 1 0xff }\nTextureCoordinate2 { point [ 0 0, 1 0, 1 1 ] }\n"
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n",                      // grey image
        "Texture2 { image 1 1 4 0xff0000ff }\nTextureCoordinate2 { point [ 0 0, 1 0, 1 1 ] }\n"
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n",                      // RGBA image
        "Texture2 { }\nTextureCoordinate2 { point [ 0 0, 1 0, 1 1 ] }\n"
        "Coordinate3 { point [ 0 0 0, 1 0 0, 1 1 0 ] }\n"
        "IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] }\n"));                    // empty image

TEST_F(SceneImport, FirstFaceSetOnlyAndRepeatedImport) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(square) + twoTriangles));
  // A second import releases the arrays of the first (LeakSanitizer) and takes the first face set.
  ASSERT_TRUE(import(encoder, std::string(square) +
                                  "Separator { IndexedFaceSet { coordIndex [ 3, 2, 1, -1 ] } }\n" +
                                  twoTriangles));
  EXPECT_EQ(encoder.brep.noTriangles, 1u);
  EXPECT_EQ(encoder.brep.triangles[0], 3);
}

TEST_F(SceneImport, TrianglesRepeatingAVertexAreAccepted) {
  LumoEncoderIv encoder;
  ASSERT_TRUE(import(encoder, std::string(square) + "IndexedFaceSet { coordIndex [ 0, 0, 1, -1 ] }\n"));
  EXPECT_EQ(encoder.brep.noTriangles, 1u);
}

struct SharedMesh {
  const char* file;
  uint32_t vertices, triangles;
  int32_t colorBinding;
  uint8_t normals, texture;
};

class SharedMeshImport : public SceneImport, public ::testing::WithParamInterface<SharedMesh> {};

TEST_P(SharedMeshImport, CountsAndAttributes) {
  const SharedMesh& m = GetParam();
  SoInput in;
  ASSERT_TRUE(in.openFile((std::string(LUMO_MESHES) + "/" + m.file).c_str()));
  SoSeparator* root = SoDB::readAll(&in);
  ASSERT_NE(root, nullptr);
  root->ref();
  LumoEncoderIv encoder;
  ASSERT_TRUE(encoder.setIvObject(root));
  root->unref();
  const LumoBrep& b = encoder.brep;
  EXPECT_EQ(b.noVertices, m.vertices);
  EXPECT_EQ(b.noTriangles, m.triangles);
  EXPECT_EQ(b.colorBinding, m.colorBinding);
  EXPECT_EQ(b.hasNormals, m.normals);
  EXPECT_EQ(b.hasTexture, m.texture);
  if (m.texture) {
    EXPECT_EQ(b.imageWidth, 64u);
    EXPECT_EQ(b.imageHeight, 64u);
    ASSERT_NE(b.texCoords, nullptr);
  }

  // The Inventor-free reader that other tests use sees the same mesh.
  LumoBrep plain;
  ASSERT_TRUE(meshfile::read(meshfile::path(m.file), plain));
  EXPECT_EQ(std::memcmp(plain.vertices, b.vertices, size_t(b.noVertices) * 12), 0);
  for (uint32_t t = 0; t < b.noTriangles; t++)
    ASSERT_EQ(std::memcmp(plain.triangles + 4 * t, b.triangles + 4 * t, 12), 0) << t;
  if (m.colorBinding) {
    EXPECT_EQ(std::memcmp(plain.colors, b.colors, size_t(b.noVertices) * 12), 0);
  }
  if (m.normals) {
    EXPECT_EQ(std::memcmp(plain.normals, b.normals, size_t(b.noVertices) * 12), 0);
  }
  if (m.texture) {
    EXPECT_EQ(std::memcmp(plain.texCoords, b.texCoords, size_t(b.noTriangles) * 24), 0);
    EXPECT_EQ(std::memcmp(plain.image, b.image, 64 * 64 * 3), 0);
  }
  plain.deleteLists();
}

INSTANTIATE_TEST_SUITE_P(SceneImport, SharedMeshImport,
                         ::testing::Values(SharedMesh{"spot.iv", 2930, 5856, 0, 1, 1},
                                           SharedMesh{"cow.iv", 2903, 5804, 2, 0, 0},
                                           SharedMesh{"fandisk.iv", 6475, 12946, 0, 1, 0},
                                           SharedMesh{"bunny.iv", 35947, 69451, 0, 0, 0},
                                           SharedMesh{"horse.iv", 48485, 96966, 0, 0, 0}));

}  // namespace

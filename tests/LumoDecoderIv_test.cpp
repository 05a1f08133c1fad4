// Tests of the decoder's Inventor variant, without a window: Inventor is initialised with SoDB::init()
// only. Streams come from the encoder, from the shared meshes and from small fixture meshes; the node
// fields are compared with the decoder's own mesh record, which the face set and coordinates mirror.
#include <gtest/gtest.h>

#include <Inventor/SoDB.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoMaterial.h>
#include <Inventor/nodes/SoMaterialBinding.h>
#include <Inventor/nodes/SoNormal.h>
#include <Inventor/nodes/SoNormalBinding.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>
#include <Inventor/nodes/SoTextureCoordinateBinding.h>

#include <cstring>
#include <vector>

#include "LumoDecoderIv.h"
#include "LumoEncoder.h"
#include "LumoDecoderStreams.h"
#include "MeshFile.h"

namespace {

class LumoDecoderIvTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SoDB::init(); }
};

LumoBitstream* encode(LumoBrep& mesh) {
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  return encoder.getBitstream(1024);
}

LumoBrep readMesh(const char* name) {
  LumoBrep mesh;
  EXPECT_TRUE(meshfile::read(meshfile::path(name), mesh)) << name;
  return mesh;
}

void decodeMesh(const char* name, LumoDecoderIv& decoder) {
  LumoBrep mesh = readMesh(name);
  streams::feedChain(decoder, encode(mesh));
  mesh.deleteLists();
  ASSERT_FALSE(decoder.isDamaged());
  ASSERT_EQ(decoder.getAvailableNoTriangles(), decoder.getMaxNoTriangles());
}

// coordIndex is the shown prefix of the triangle table, each slot closed by -1.
void expectShownTriangles(LumoDecoderIv& decoder) {
  const LumoBrep& brep = *decoder.getBrep();
  const SoMFInt32& index = decoder.faceSet->coordIndex;
  ASSERT_EQ(uint32_t(index.getNum()), 4 * brep.noTriangles);
  for (uint32_t i = 0; i < 4 * brep.noTriangles; i++) {
    ASSERT_EQ(index[i], brep.triangles[i]) << "entry " << i;
    if (i % 4 == 3) {
      ASSERT_EQ(index[i], -1) << "entry " << i;
    }
  }
}

void expectVec3(const SoMFVec3f& field, const float* values, uint32_t count, const char* what) {
  ASSERT_EQ(uint32_t(field.getNum()), count) << what;
  for (uint32_t v = 0; v < count; v++)
    for (int k = 0; k < 3; k++) ASSERT_EQ(field[v][k], values[3 * v + k]) << what << " " << v;
}

void expectImage(const SoTexture2* texture, const LumoBrep& brep) {
  SbVec2s size;
  int components = 0;
  const unsigned char* pixels = texture->image.getValue(size, components);
  ASSERT_EQ(size[0], short(brep.imageWidth));
  ASSERT_EQ(size[1], short(brep.imageHeight));
  ASSERT_EQ(components, 3);
  EXPECT_EQ(0, std::memcmp(pixels, brep.image, size_t(brep.imageWidth) * brep.imageHeight * 3));
}

// Whether a field holds what it holds in a node just created (some nodes set their fields in their
// constructor, so a field's default flag does not tell).
template <class Node, class Owner, class Field>
bool untouched(const Node* node, Field Owner::*field) {
  Node* fresh = new Node;
  fresh->ref();
  bool same = node->*field == fresh->*field;
  fresh->unref();
  return same;
}

void expectNodesUntouched(LumoDecoderIv& decoder) {
  EXPECT_TRUE(untouched(decoder.faceSet, &SoIndexedFaceSet::coordIndex));
  EXPECT_TRUE(untouched(decoder.coordinate, &SoCoordinate3::point));
  EXPECT_TRUE(untouched(decoder.material, &SoMaterial::diffuseColor));
  EXPECT_TRUE(untouched(decoder.normal, &SoNormal::vector));
  EXPECT_TRUE(untouched(decoder.textureCoordinate, &SoTextureCoordinate2::point));
  EXPECT_TRUE(untouched(decoder.materialBinding, &SoMaterialBinding::value));
  EXPECT_TRUE(untouched(decoder.normalBinding, &SoNormalBinding::value));
  EXPECT_TRUE(untouched(decoder.textureCoordinateBinding, &SoTextureCoordinateBinding::value));
  EXPECT_TRUE(untouched(decoder.texture, &SoTexture2::image));
}

TEST_F(LumoDecoderIvTest, NewDecoderHoldsTheGroupInDrawingOrder) {
  LumoDecoderIv decoder;
  SoSeparator* group = decoder.getIvObject();
  EXPECT_EQ(group, decoder.separator);
  EXPECT_EQ(group->getRefCount(), 1);
  SoNode* order[] = {decoder.texture, decoder.materialBinding, decoder.normalBinding,
                     decoder.textureCoordinateBinding, decoder.material, decoder.normal,
                     decoder.textureCoordinate, decoder.coordinate, decoder.faceSet};
  ASSERT_EQ(group->getNumChildren(), 9);
  for (int i = 0; i < 9; i++) EXPECT_EQ(group->getChild(i), order[i]) << "child " << i;
  expectNodesUntouched(decoder);
}

TEST_F(LumoDecoderIvTest, GroupOutlivesTheDecoderWhileASceneHoldsIt) {
  SoSeparator* scene = new SoSeparator;
  scene->ref();
  {
    LumoDecoderIv decoder;
    decodeMesh("cow.iv", decoder);
    decoder.setAvailableNoTriangles();
    scene->addChild(decoder.getIvObject());
  }
  SoSeparator* group = static_cast<SoSeparator*>(scene->getChild(0));
  EXPECT_EQ(group->getRefCount(), 1);
  EXPECT_EQ(static_cast<SoIndexedFaceSet*>(group->getChild(8))->coordIndex.getNum(), 4 * 5804);
  scene->unref();
}

TEST_F(LumoDecoderIvTest, SpotStreamSetsCoordinatesNormalsAndTexture) {
  LumoDecoderIv decoder;
  decodeMesh("spot.iv", decoder);
  EXPECT_EQ(decoder.setAvailableNoTriangles(), 5856u);
  const LumoBrep& brep = *decoder.getBrep();
  ASSERT_EQ(brep.noTriangles, 5856u);
  expectShownTriangles(decoder);
  expectVec3(decoder.coordinate->point, brep.vertices, 2930, "point");
  expectVec3(decoder.normal->vector, brep.normals, 2930, "normal");
  EXPECT_EQ(decoder.normalBinding->value.getValue(), SoNormalBinding::PER_VERTEX_INDEXED);
  expectImage(decoder.texture, brep);
  EXPECT_EQ(decoder.textureCoordinateBinding->value.getValue(), SoTextureCoordinateBinding::PER_VERTEX);

  const SoMFVec2f& coords = decoder.textureCoordinate->point;
  ASSERT_EQ(coords.getNum(), 3 * 5856);
  for (int c = 0; c < 3 * 5856; c++) {
    ASSERT_EQ(coords[c][0], brep.texCoords[2 * c]) << "corner " << c;
    ASSERT_EQ(coords[c][1], brep.texCoords[2 * c + 1]) << "corner " << c;
  }
  EXPECT_TRUE(untouched(decoder.material, &SoMaterial::diffuseColor));
  EXPECT_TRUE(untouched(decoder.materialBinding, &SoMaterialBinding::value));
}

TEST_F(LumoDecoderIvTest, CowStreamSetsPerVertexColours) {
  LumoDecoderIv decoder;
  decodeMesh("cow.iv", decoder);
  decoder.setAvailableNoTriangles();
  const LumoBrep& brep = *decoder.getBrep();
  expectShownTriangles(decoder);
  expectVec3(decoder.coordinate->point, brep.vertices, 2903, "point");
  const SoMFColor& colors = decoder.material->diffuseColor;
  ASSERT_EQ(colors.getNum(), 2903);
  for (int v = 0; v < 2903; v++)
    for (int k = 0; k < 3; k++) ASSERT_EQ(colors[v][k], brep.colors[3 * v + k]) << v;
  EXPECT_EQ(decoder.materialBinding->value.getValue(), 8);
  EXPECT_TRUE(untouched(decoder.normal, &SoNormal::vector));
  EXPECT_TRUE(untouched(decoder.normalBinding, &SoNormalBinding::value));
  EXPECT_TRUE(untouched(decoder.texture, &SoTexture2::image));
  EXPECT_TRUE(untouched(decoder.textureCoordinateBinding, &SoTextureCoordinateBinding::value));
}

// Every change of level rewrites coordIndex to the new prefix; 0 with the default threshold shows nothing.
TEST_F(LumoDecoderIvTest, CoordIndexFollowsEveryChangeOfLevel) {
  LumoDecoderIv decoder;
  decodeMesh("spot.iv", decoder);
  decoder.setAvailableNoTriangles();
  for (unsigned int request : {585u, 5856u, 1u, 2000u, 0u}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(decoder.setNoTriangles(request), request);
    EXPECT_LE(decoder.getBrep()->noTriangles, request);
    expectShownTriangles(decoder);
  }
  EXPECT_EQ(decoder.faceSet->coordIndex.getNum(), 0);
}

// The header of spot.iv carries a 64 × 64 image, far more than the first 1024-byte buffer.
TEST_F(LumoDecoderIvTest, HeaderThatMustBeRetriedSetsNoFieldUntilItSucceeds) {
  LumoBrep mesh = readMesh("spot.iv");
  LumoBitstream* chain = encode(mesh);
  LumoBitstream* rest = chain->next;
  LumoDecoderIv decoder;
  decoder.addBitstream(chain);
  decoder.decodeBitstream();
  EXPECT_EQ(decoder.getMaxNoTriangles(), 0u);
  expectNodesUntouched(decoder);

  streams::feedChain(decoder, rest);
  decoder.setAvailableNoTriangles();
  expectImage(decoder.texture, mesh);
  EXPECT_EQ(decoder.normalBinding->value.getValue(), SoNormalBinding::PER_VERTEX_INDEXED);
  EXPECT_EQ(decoder.coordinate->point.getNum(), 2930);
  expectShownTriangles(decoder);
  mesh.deleteLists();
}

// An octahedron, small enough to give it any colours and texture.
struct Octahedron {
  LumoBrep mesh;
  std::vector<float> vertices{1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 1, 0, 0, -1};
  std::vector<int32_t> triangles{0, 2, 4, -1, 2, 1, 4, -1, 1, 3, 4, -1, 3, 0, 4, -1,
                                 2, 0, 5, -1, 1, 2, 5, -1, 3, 1, 5, -1, 0, 3, 5, -1};
  std::vector<float> color{0.25f, 0.5f, 0.75f};
  std::vector<float> texCoords = std::vector<float>(8 * 6, 0.5f);
  std::vector<unsigned char> image;

  Octahedron() {
    mesh.vertices = vertices.data();
    mesh.noVertices = 6;
    mesh.triangles = triangles.data();
    mesh.noTriangles = 8;
  }
  void colour() {
    mesh.colorBinding = 1;
    mesh.colors = color.data();
  }
  void texture(uint32_t width, uint32_t height) {
    image.assign(size_t(width) * height * 3, 200);
    mesh.hasTexture = 1;
    mesh.texCoords = texCoords.data();
    mesh.imageWidth = width;
    mesh.imageHeight = height;
    mesh.image = image.data();
  }
};

TEST_F(LumoDecoderIvTest, OverallColourIsOneValueAndKeepsTheBinding) {
  Octahedron fixture;
  fixture.colour();
  LumoDecoderIv decoder;
  streams::feedChain(decoder, encode(fixture.mesh));
  const SoMFColor& colors = decoder.material->diffuseColor;
  ASSERT_EQ(colors.getNum(), 1);
  for (int k = 0; k < 3; k++) EXPECT_EQ(colors[0][k], decoder.getBrep()->colors[k]);
  EXPECT_NEAR(colors[0][2], 0.75f, 1e-4f);
  EXPECT_TRUE(untouched(decoder.materialBinding, &SoMaterialBinding::value));
}

TEST_F(LumoDecoderIvTest, MeshWithoutColoursLeavesTheMaterialAlone) {
  Octahedron fixture;
  LumoDecoderIv decoder;
  streams::feedChain(decoder, encode(fixture.mesh));
  decoder.setAvailableNoTriangles();
  EXPECT_EQ(decoder.faceSet->coordIndex.getNum(), 32);
  EXPECT_TRUE(untouched(decoder.material, &SoMaterial::diffuseColor));
  EXPECT_TRUE(untouched(decoder.materialBinding, &SoMaterialBinding::value));
  EXPECT_TRUE(untouched(decoder.texture, &SoTexture2::image));
}

// Images that Inventor's image field cannot hold (16-bit sides, an int byte count) or that have no
// pixels are not shown; the texture coordinates still follow the triangles.
TEST_F(LumoDecoderIvTest, ImageIsShownOnlyWhenTheImageFieldCanHoldIt) {
  struct Case {
    uint32_t width, height;
    bool shown;
  } cases[] = {{2, 3, true}, {32767, 1, true}, {32768, 1, false}, {40000, 1, false}, {4, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    Octahedron fixture;
    fixture.texture(c.width, c.height);
    LumoDecoderIv decoder;
    streams::feedChain(decoder, encode(fixture.mesh));
    ASSERT_EQ(decoder.getBrep()->hasTexture, 1);
    EXPECT_EQ(decoder.textureCoordinate->point.getNum(), 24);
    if (c.shown) {
      expectImage(decoder.texture, *decoder.getBrep());
      EXPECT_EQ(decoder.textureCoordinateBinding->value.getValue(), SoTextureCoordinateBinding::PER_VERTEX);
    } else {
      EXPECT_TRUE(untouched(decoder.texture, &SoTexture2::image));
      EXPECT_TRUE(untouched(decoder.textureCoordinateBinding, &SoTextureCoordinateBinding::value));
    }
  }
}

// The hand-off gives the whole mesh at once, at full precision.
TEST_F(LumoDecoderIvTest, HandOffSetsTheWholeMeshAtOnce) {
  for (const char* name : {"spot.iv", "cow.iv"}) {
    SCOPED_TRACE(name);
    LumoBrep mesh = readMesh(name);
    {
      LumoEncoder encoder;
      encoder.setBrep(mesh);
      LumoDecoderIv decoder;
      encoder.initDecoder(&decoder);
      EXPECT_TRUE(untouched(decoder.faceSet, &SoIndexedFaceSet::coordIndex));
      decoder.setAvailableNoTriangles();
      const LumoBrep& brep = *decoder.getBrep();
      ASSERT_EQ(brep.noTriangles, mesh.noTriangles);
      expectShownTriangles(decoder);
      expectVec3(decoder.coordinate->point, mesh.vertices, mesh.noVertices, "point");
      if (mesh.colorBinding == 2) {
        EXPECT_EQ(decoder.materialBinding->value.getValue(), 8);
        ASSERT_EQ(uint32_t(decoder.material->diffuseColor.getNum()), mesh.noVertices);
        EXPECT_EQ(decoder.material->diffuseColor[7][1], mesh.colors[22]);
      }
      if (mesh.hasNormals) {
        expectVec3(decoder.normal->vector, mesh.normals, mesh.noVertices, "normal");
        EXPECT_EQ(decoder.normalBinding->value.getValue(), 8);
      }
      if (mesh.hasTexture) {
        expectImage(decoder.texture, mesh);
        ASSERT_EQ(uint32_t(decoder.textureCoordinate->point.getNum()), 3 * mesh.noTriangles);
        EXPECT_EQ(decoder.textureCoordinate->point[5][1], brep.texCoords[11]);
        EXPECT_EQ(decoder.textureCoordinateBinding->value.getValue(), 2);
      }
    }
    mesh.deleteLists();
  }
}

}  // namespace

// Tests of the stream writer: bit packing of unsigned fields, floats and cluster paths, how the buffer
// chain is cut, and the packets of whole streams for small meshes on trees built by hand (the records
// are plain structs) and by the encoder itself. The bytes are checked against the worked example of the
// stream layout and, field by field, against an independent reader in this file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LumoEncoder.h"
#include "MeshFile.h"

namespace {

// ---- helpers -------------------------------------------------------------------------------------

std::vector<uint8_t> bytesOf(const LumoBitstream* chain) {
  std::vector<uint8_t> bytes;
  for (; chain; chain = chain->next) bytes.insert(bytes.end(), chain->data, chain->data + chain->length);
  return bytes;
}

std::vector<uint32_t> lengthsOf(const LumoBitstream* chain) {
  std::vector<uint32_t> lengths;
  for (; chain; chain = chain->next) lengths.push_back(chain->length);
  return lengths;
}

// The writer state as getBitstream sets it up, for driving the field writers directly. The first
// buffer is filled with ones so that a byte the writer forgets to assign shows.
LumoBitstream* startChain(LumoEncoder& encoder, uint32_t size) {
  LumoBitstream* first = new LumoBitstream;
  first->next = nullptr;
  first->length = 1;
  first->data = new unsigned char[size];
  std::memset(first->data, 0xFF, size);
  encoder.bitstreamSize = size;
  encoder.writeBitstream = first;
  encoder.writeBytePtr = first->data;
  encoder.writeEnd = first->data + size;
  encoder.writeBitPos = 0;
  return first;
}

uint32_t floatField(float f) {
  uint32_t pattern;
  std::memcpy(&pattern, &f, sizeof pattern);
  return pattern >> 8;
}

// Reads unsigned fields least significant bit first, as the stream defines them.
struct BitReader {
  const std::vector<uint8_t>& bytes;
  size_t position = 0;  // in bits

  explicit BitReader(const std::vector<uint8_t>& b) : bytes(b) {}
  uint32_t read(unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; i++, position++) {
      if (position / 8 >= bytes.size()) ADD_FAILURE() << "read past the end of the stream";
      else value |= uint32_t((bytes[position / 8] >> (position % 8)) & 1u) << i;
    }
    return value;
  }
};

struct Field {
  uint32_t value;
  unsigned width;
};

// Compares a stream with the fields it should hold: same values, nothing after them but zero fill bits
// up to the end of the last byte.
void expectFields(const std::vector<uint8_t>& stream, const std::vector<Field>& fields) {
  BitReader reader(stream);
  for (size_t i = 0; i < fields.size(); i++)
    ASSERT_EQ(reader.read(fields[i].width), fields[i].value) << "field " << i << " at bit " << reader.position;
  EXPECT_EQ(stream.size(), (reader.position + 7) / 8);
  while (reader.position < stream.size() * 8) EXPECT_EQ(reader.read(1), 0u) << "fill bit";
}

// ---- hand-built trees ----------------------------------------------------------------------------

LumoEncoderCluster* leaf(uint32_t vertex) {
  LumoEncoderCluster* cluster = new LumoEncoderCluster();
  cluster->vertex = vertex;
  return cluster;
}

// The merged cluster keeps the first child's vertex; it goes to the front of the cluster list.
LumoEncoderCluster* merge(LumoEncoder& encoder, LumoEncoderCluster* first, LumoEncoderCluster* second) {
  LumoEncoderCluster* cluster = leaf(first->vertex);
  cluster->firstChild = first;
  cluster->secondChild = second;
  first->parent = second->parent = cluster;
  cluster->next = encoder.clusterList;
  encoder.clusterList = cluster;
  encoder.noClusters++;
  return cluster;
}

LumoEncoderSplitTriangle* splitTriangle(uint32_t triangle, uint8_t first, uint8_t second,
                                        LumoEncoderCluster* third, uint8_t orientation) {
  return new LumoEncoderSplitTriangle{triangle, first, second, third, orientation, nullptr};
}

// The mesh of the worked example: m0 = (4, 0, 0), m1 = (4, 1, 0), m2 = (0, 0, 1), one triangle
// (m0, m1, m2). The arrays live in this fixture; attributes are switched on per test.
struct ExampleMesh {
  float vertices[9] = {4, 0, 0, 4, 1, 0, 0, 0, 1};
  int32_t triangles[4] = {0, 1, 2, -1};
  float colors[9] = {0.25f, 0.5f, 0.75f, 0.1f, 0.2f, 0.3f, 1, 0, -1};
  float normals[9] = {1, 0, 0, 0, 1, 0, 0, 0.6f, -0.8f};
  float texCoords[6] = {0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.875f};
  unsigned char image[6] = {1, 2, 3, 250, 251, 252};

  LumoBrep brep() {
    LumoBrep b;
    b.vertices = vertices;
    b.noVertices = 3;
    b.triangles = triangles;
    b.noTriangles = 1;
    return b;
  }
};

// The worked example's tree: the root (m1) splits into {m0, m1} and m2; {m0, m1} splits into m1 and m0
// and restores the triangle (first corner 1, second corner 0, third cluster the leaf m2).
struct ExampleTree {
  LumoEncoderCluster* m0;
  LumoEncoderCluster* m1;
  LumoEncoderCluster* m2;
  LumoEncoderCluster* pair;
  LumoEncoderCluster* root;

  explicit ExampleTree(LumoEncoder& encoder, uint8_t orientation = 0) {
    encoder.noClusters = 3;
    encoder.clusterList = nullptr;
    m0 = leaf(0);
    m1 = leaf(1);
    m2 = leaf(2);
    pair = merge(encoder, m1, m0);
    pair->splitTriangles = splitTriangle(0, 1, 0, m2, orientation);
    root = merge(encoder, pair, m2);
    encoder.clusterTree = root;
    encoder.clusterTreeBuilt = 1;  // the encoder releases the tree
  }
};

const std::vector<uint8_t> workedExample = {
    0xaf, 0x00, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x81, 0x00, 0x00, 0x7f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0xfe, 0x00, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0x1f};

// ---- field writers -------------------------------------------------------------------------------

TEST(EncodeBit, TagThenCountGivesFirstByteAF) {
  LumoEncoder encoder;
  LumoBitstream* chain = startChain(encoder, 16);
  encoder.encodeBit(15, 5);
  encoder.encodeBit(5, 32);
  std::vector<uint8_t> bytes = bytesOf(chain);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAF, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(encoder.writeBitPos, 5);
  deleteBitstream(chain);
}

TEST(EncodeBit, ThirtyTwoBitFieldFromBitThreeTouchesFiveBytes) {
  LumoEncoder encoder;
  LumoBitstream* chain = startChain(encoder, 16);
  encoder.encodeBit(0x5, 3);
  encoder.encodeBit(0x89ABCDEFu, 32);
  // value bits 0-4 in bits 3-7 of byte 0, three whole bytes, value bits 29-31 in bits 0-2 of byte 4
  const uint64_t expected = (uint64_t(0x89ABCDEFu) << 3) | 0x5;
  std::vector<uint8_t> bytes = bytesOf(chain);
  ASSERT_EQ(bytes.size(), 5u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(bytes[i], uint8_t(expected >> (8 * i))) << "byte " << i;
  EXPECT_EQ(encoder.writeBitPos, 3);
  deleteBitstream(chain);
}

TEST(EncodeBit, FieldFillingAByteMovesOnOnlyWithTheNextField) {
  LumoEncoder encoder;
  LumoBitstream* chain = startChain(encoder, 1);
  encoder.encodeBit(0x3, 2);
  encoder.encodeBit(0x2A, 6);  // ends exactly at the end of byte 0, the end of the only buffer
  EXPECT_EQ(encoder.writeBitPos, 8);
  EXPECT_EQ(chain->next, nullptr) << "a buffer was chained before a bit had to go into it";
  EXPECT_EQ(lengthsOf(chain), (std::vector<uint32_t>{1}));

  encoder.encodeBit(0x1, 1);  // starts at bit 0 of the next buffer
  encoder.encodeBit(0x1FF, 9);
  EXPECT_EQ(lengthsOf(chain), (std::vector<uint32_t>{1, 1, 1}));
  EXPECT_EQ(bytesOf(chain), (std::vector<uint8_t>{0xAB, 0xFF, 0x03}));
  deleteBitstream(chain);
}

TEST(EncodeFloat32, SendsTheTopTwentyFourBitsOfThePattern) {
  struct Case {
    float f;
    uint32_t field;
  };
  const Case cases[] = {{1.0f, 0x3F8000}, {-2.0f, 0xC00000}, {0.1f, 0x3DCCCC}, {-0.0f, 0x800000}};
  for (const Case& c : cases) {
    LumoEncoder encoder;
    LumoBitstream* chain = startChain(encoder, 4);
    encoder.encodeBit(1, 1);  // off byte alignment
    encoder.encodeFloat32(c.f);
    std::vector<uint8_t> bytes = bytesOf(chain);
    BitReader reader(bytes);
    EXPECT_EQ(reader.read(1), 1u);
    EXPECT_EQ(reader.read(24), c.field) << c.f;
    EXPECT_EQ(bytes.size(), 4u);
    deleteBitstream(chain);
  }
}

TEST(EncodeClusterId, PathsRunRootLevelFirst) {
  LumoEncoder encoder;
  ExampleTree tree(encoder);
  // second child of the root's first child: the leaf m0, path 0, 1
  LumoEncoderCluster* const clusters[] = {tree.root, tree.pair, tree.m2, tree.m1, tree.m0};
  const std::vector<Field> paths[] = {{}, {{0, 1}}, {{1, 1}}, {{0, 1}, {0, 1}}, {{0, 1}, {1, 1}}};
  for (int i = 0; i < 5; i++) {
    LumoBitstream* chain = startChain(encoder, 8);
    encoder.encodeBit(1, 1);
    encoder.encodeClusterId(clusters[i]);
    std::vector<Field> fields = {{1, 1}};
    fields.insert(fields.end(), paths[i].begin(), paths[i].end());
    expectFields(bytesOf(chain), fields);
    deleteBitstream(chain);
  }
}

// A chain a million levels deep: the path must come out without recursion and without walking the
// chain once per level.
TEST(EncodeClusterId, DeepTreeWithoutRecursion) {
  const uint32_t depth = 1000000;
  auto isSecond = [](uint32_t level) { return level % 3 == 0 || level % 7 == 0; };
  LumoEncoderCluster* root = leaf(0);
  LumoEncoderCluster* deepest = root;
  for (uint32_t level = 1; level <= depth; level++) {
    LumoEncoderCluster* child = leaf(level);
    LumoEncoderCluster* sibling = leaf(level);
    if (isSecond(level)) std::swap(child, sibling);
    deepest->firstChild = child;
    deepest->secondChild = sibling;
    child->parent = sibling->parent = deepest;
    deepest = isSecond(level) ? sibling : child;
  }
  LumoEncoder encoder;
  LumoBitstream* chain = startChain(encoder, 1000);
  encoder.encodeClusterId(deepest);
  std::vector<uint8_t> bytes = bytesOf(chain);
  ASSERT_EQ(bytes.size(), depth / 8);
  BitReader reader(bytes);
  for (uint32_t level = 1; level <= depth; level++) {
    uint32_t bit = reader.read(1);
    if (bit != (isSecond(level) ? 1u : 0u)) {
      ADD_FAILURE() << "wrong path bit at level " << level;
      break;
    }
  }
  deleteBitstream(chain);
  delete root;
}

// ---- whole streams -------------------------------------------------------------------------------

TEST(GetBitstream, WorkedExampleGivesItsBytesCutAsAsked) {
  ExampleMesh mesh;
  LumoBrep brep = mesh.brep();
  LumoEncoder encoder;
  encoder.setBrep(brep);
  ExampleTree tree(encoder);

  struct Case {
    unsigned size;
    std::vector<uint32_t> lengths;
  };
  const Case cases[] = {
      {1024, {46}}, {16, {16, 16, 14}}, {1, std::vector<uint32_t>(46, 1)}, {23, {23, 23}}, {46, {46}}};
  for (const Case& c : cases) {
    LumoBitstream* chain = encoder.getBitstream(c.size);
    EXPECT_EQ(lengthsOf(chain), c.lengths) << "buffer size " << c.size;
    EXPECT_EQ(bytesOf(chain), workedExample) << "buffer size " << c.size;
    deleteBitstream(chain);
  }
  EXPECT_EQ(encoder.clusterTree, tree.root);
  EXPECT_TRUE(encoder.clusterTreeBuilt);
}

TEST(GetBitstream, BufferSizeZeroWritesNothing) {
  ExampleMesh mesh;
  LumoBrep brep = mesh.brep();
  LumoEncoder encoder;
  encoder.setBrep(brep);
  ExampleTree tree(encoder);
  encoder.writeBitstream = nullptr;
  EXPECT_EQ(encoder.getBitstream(0), nullptr);
  EXPECT_EQ(encoder.writeBitstream, nullptr);
}

TEST(GetBitstream, TreeWithoutSplitsIsHeaderAndEndTag) {
  float vertex[3] = {1, 2, 3};
  LumoBrep brep;
  brep.vertices = vertex;
  brep.noVertices = 1;
  LumoEncoder encoder;
  encoder.setBrep(brep);
  encoder.noClusters = 1;
  encoder.clusterTree = nullptr;
  encoder.clusterList = nullptr;
  encoder.clusterTreeBuilt = 1;

  LumoBitstream* chain = encoder.getBitstream(1024);
  std::vector<uint8_t> bytes = bytesOf(chain);
  ASSERT_EQ(bytes.size(), 18u);
  EXPECT_EQ(bytes.back(), 0x1F);
  expectFields(bytes, {{15, 5}, {1, 32}, {1, 32}, {0, 32}, {0, 2}, {0, 1}, {0, 32}, {31, 5}});
  deleteBitstream(chain);
}

// Variants of the example mesh and tree, each stream compared field by field with what the layout
// prescribes for it.
struct Variant {
  const char* name;
  int32_t colorBinding;
  uint8_t hasNormals;
  uint8_t hasTexture;
  uint32_t imageWidth;
  uint32_t imageHeight;
  uint8_t orientation;
  std::vector<uint8_t> splitSides;  // corner list of {m0, m1} at its split
};

std::vector<Field> expectedFields(const Variant& v, ExampleMesh& mesh) {
  const uint32_t binding = v.colorBinding == 1 || v.colorBinding == 2 ? uint32_t(v.colorBinding) : 0;
  const bool textured = v.hasTexture && v.imageWidth != 0;
  std::vector<Field> fields = {{15, 5}, {5, 32}, {3, 32}, {1, 32}, {binding, 2}, {v.hasNormals, 1}};
  auto floats = [&](const float* f, int n) {
    for (int i = 0; i < n; i++) fields.push_back({floatField(f[i]), 24});
  };
  if (textured) {
    fields.push_back({v.imageWidth, 32});
    fields.push_back({v.imageHeight, 32});
    for (uint32_t i = 0; i < v.imageWidth * v.imageHeight * 3; i++) fields.push_back({mesh.image[i], 8});
  } else {
    fields.push_back({0, 32});
  }
  if (binding == 1) floats(mesh.colors, 3);
  auto vertex = [&](int m) {
    fields.push_back({0, 1});
    floats(mesh.vertices + 3 * m, 3);
    if (binding == 2) floats(mesh.colors + 3 * m, 3);
    if (v.hasNormals) floats(mesh.normals + 3 * m, 3);
  };
  vertex(1);                       // root
  vertex(2);                       // split of the root: empty path, no corner bits
  vertex(0);                       // split of {m0, m1}
  fields.push_back({0, 1});        //   its path
  for (uint8_t side : v.splitSides) fields.push_back({side, 1});
  fields.push_back({1, 2});        // triangle packet
  fields.push_back({1, 1});        //   path of the leaf m2
  fields.push_back({v.orientation, 1});
  if (textured) {
    // third corner (2) first; then first corner (1), second corner (0) with orientation, else swapped
    const int order[2][3] = {{2, 0, 1}, {2, 1, 0}};
    for (int corner : order[v.orientation]) floats(mesh.texCoords + 2 * corner, 2);
  }
  fields.push_back({31, 5});
  return fields;
}

TEST(GetBitstream, PacketsFollowTheMeshAttributes) {
  const Variant variants[] = {
      {"plain", 0, 0, 0, 0, 0, 0, {}},
      {"overall colour", 1, 0, 0, 0, 0, 0, {}},
      {"colour per vertex", 2, 0, 0, 0, 0, 0, {}},
      {"unknown binding sent as none", 3, 0, 0, 0, 0, 0, {}},
      {"normals", 0, 1, 0, 0, 0, 0, {}},
      {"texture 2x1", 0, 0, 1, 2, 1, 0, {}},
      {"texture 5x0", 0, 0, 1, 5, 0, 0, {}},
      {"texture without width sent as none", 0, 0, 1, 0, 7, 0, {}},
      {"texture, orientation 1", 0, 0, 1, 2, 1, 1, {}},
      {"corner bits in list order", 0, 0, 0, 0, 0, 0, {1, 0, 1}},
      {"everything", 2, 1, 1, 1, 2, 1, {0, 1}},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    ExampleMesh mesh;
    LumoBrep brep = mesh.brep();
    brep.colorBinding = v.colorBinding;
    brep.colors = v.colorBinding ? mesh.colors : nullptr;
    brep.hasNormals = v.hasNormals;
    brep.normals = v.hasNormals ? mesh.normals : nullptr;
    brep.hasTexture = v.hasTexture;
    brep.texCoords = v.hasTexture ? mesh.texCoords : nullptr;
    brep.image = v.hasTexture ? mesh.image : nullptr;
    brep.imageWidth = v.imageWidth;
    brep.imageHeight = v.imageHeight;
    LumoEncoder encoder;
    encoder.setBrep(brep);
    ExampleTree tree(encoder, v.orientation);
    for (auto side = v.splitSides.rbegin(); side != v.splitSides.rend(); ++side)
      tree.pair->splitCorners = new LumoEncoderCorner{0, 0, *side, tree.pair->splitCorners};

    LumoBitstream* chain = encoder.getBitstream(7);
    expectFields(bytesOf(chain), expectedFields(v, mesh));
    deleteBitstream(chain);
  }
}

// ---- through the encoder's own tree ---------------------------------------------------------------

TEST(GetBitstreamOfBuiltTree, WorkedExampleMeshGivesItsBytes) {
  LumoBrep brep;
  ASSERT_TRUE(meshfile::read(std::string(LUMO_TESTDATA) + "/triangle.iv", brep));
  LumoEncoder encoder;
  encoder.setBrep(brep);
  LumoBitstream* chain = encoder.getBitstream(16);
  EXPECT_TRUE(encoder.clusterTreeBuilt);
  EXPECT_EQ(lengthsOf(chain), (std::vector<uint32_t>{16, 16, 14}));
  EXPECT_EQ(bytesOf(chain), workedExample);
  deleteBitstream(chain);
  brep.deleteLists();
}

// A real mesh with colours per vertex: the header tells its counts, every cut of the chain follows
// the buffer rules and holds the same bytes, and the stream ends in the end tag and zero fill bits.
TEST(GetBitstreamOfBuiltTree, RealMeshCutAnyWayGivesOneStream) {
  LumoBrep brep;
  ASSERT_TRUE(meshfile::read(meshfile::path("cow.iv"), brep));
  LumoEncoder encoder;
  encoder.setBrep(brep);
  LumoBitstream* whole = encoder.getBitstream(1024);
  const std::vector<uint8_t> stream = bytesOf(whole);
  deleteBitstream(whole);

  BitReader header(stream);
  EXPECT_EQ(header.read(5), 15u);
  EXPECT_EQ(header.read(32), 2 * brep.noVertices - 1);
  EXPECT_EQ(header.read(32), brep.noVertices);
  EXPECT_EQ(header.read(32), brep.noTriangles);
  EXPECT_EQ(header.read(2), 2u);
  // The highest one-bit of the stream lies in its last byte and closes the five bits of the end tag.
  ASSERT_NE(stream.back(), 0);
  size_t top = stream.size() * 8 - 1;
  while (!((stream[top / 8] >> (top % 8)) & 1)) top--;
  BitReader end(stream);
  end.position = top - 4;
  EXPECT_EQ(end.read(5), 31u);

  for (unsigned size : {1u, 23u, 1024u, unsigned(stream.size()), unsigned(stream.size()) + 1}) {
    LumoBitstream* chain = encoder.getBitstream(size);
    std::vector<uint32_t> lengths = lengthsOf(chain);
    for (size_t i = 0; i + 1 < lengths.size(); i++) ASSERT_EQ(lengths[i], size) << "buffer " << i;
    EXPECT_GE(lengths.back(), 1u);
    EXPECT_LE(lengths.back(), size);
    EXPECT_EQ(bytesOf(chain), stream) << "buffer size " << size;
    deleteBitstream(chain);
  }
  brep.deleteLists();
}

// Streams of scene files written by the library, for the converter's end-to-end test to compare with
// the files lumopack writes. It runs when LUMO_STREAM_DIR names a folder for them.
TEST(StreamFiles, LibraryStreamsOfSceneFiles) {
  const char* folder = std::getenv("LUMO_STREAM_DIR");
  if (!folder) GTEST_SKIP() << "LUMO_STREAM_DIR is not set";
  const std::string scenes[] = {std::string(LUMO_TESTDATA) + "/triangle.iv", meshfile::path("cow.iv"),
                                meshfile::path("spot.iv"), meshfile::path("fandisk.iv")};
  for (const std::string& scene : scenes) {
    LumoBrep brep;
    ASSERT_TRUE(meshfile::read(scene, brep)) << scene;
    LumoEncoder encoder;
    encoder.setBrep(brep);
    LumoBitstream* chain = encoder.getBitstream(1024);
    const std::vector<uint8_t> stream = bytesOf(chain);
    deleteBitstream(chain);
    brep.deleteLists();

    const std::string name = scene.substr(scene.rfind('/') + 1);
    const std::string path = std::string(folder) + "/" + name.substr(0, name.rfind('.')) + ".lumo";
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(std::fwrite(stream.data(), 1, stream.size(), file), stream.size());
    EXPECT_EQ(std::fclose(file), 0);
  }
}

}  // namespace

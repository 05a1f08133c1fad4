// The core records: the mesh record's construction, release and deep copy, the buffer chain's release,
// and the constant tables of the stream.
#include "Lumo.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A small record that owns every kind of array, colour binding as asked.
LumoBrep filledRecord(int32_t colorBinding, uint32_t noColors) {
  LumoBrep r;
  r.noVertices = 3;
  r.vertices = new float[9]{0, 0, 0, 1, 0, 0, 0, 1, 0};
  r.noTriangles = 1;
  r.triangles = new int32_t[4]{0, 1, 2, -1};
  r.colorBinding = colorBinding;
  if (noColors) {
    r.colors = new float[noColors * 3];
    for (uint32_t i = 0; i < noColors * 3; i++) r.colors[i] = 0.1f * float(i + 1);
  }
  r.hasNormals = 1;
  r.normals = new float[9]{0, 0, 1, 0, 0, 1, 0, 0, 1};
  r.hasTexture = 1;
  r.texCoords = new float[6]{0, 0, 1, 0, 0, 1};
  r.imageWidth = 2;
  r.imageHeight = 1;
  r.image = new unsigned char[6]{1, 2, 3, 4, 5, 6};
  return r;
}

void expectNoArrays(const LumoBrep& r) {
  EXPECT_EQ(r.vertices, nullptr);
  EXPECT_EQ(r.triangles, nullptr);
  EXPECT_EQ(r.colors, nullptr);
  EXPECT_EQ(r.normals, nullptr);
  EXPECT_EQ(r.texCoords, nullptr);
  EXPECT_EQ(r.image, nullptr);
}

TEST(LumoBrep, ConstructedEmpty) {
  LumoBrep r;
  expectNoArrays(r);
  EXPECT_EQ(r.noVertices, 0u);
  EXPECT_EQ(r.noTriangles, 0u);
  EXPECT_EQ(r.colorBinding, 0);
  EXPECT_EQ(r.hasNormals, 0);
  EXPECT_EQ(r.hasTexture, 0);
  EXPECT_EQ(r.imageWidth, 0u);
  EXPECT_EQ(r.imageHeight, 0u);
  r.deleteLists();
  r.deleteLists();
}

TEST(LumoBrep, DeleteListsKeepsCountsAndFlags) {
  LumoBrep r = filledRecord(2, 3);
  r.deleteLists();
  expectNoArrays(r);
  EXPECT_EQ(r.noVertices, 3u);
  EXPECT_EQ(r.noTriangles, 1u);
  EXPECT_EQ(r.colorBinding, 2);
  EXPECT_EQ(r.hasNormals, 1);
  EXPECT_EQ(r.hasTexture, 1);
  r.deleteLists();
}

TEST(LumoBrep, CopyByValueSharesArrays) {
  LumoBrep owner = filledRecord(2, 3);
  LumoBrep shallow = owner;
  EXPECT_EQ(shallow.vertices, owner.vertices);
  EXPECT_EQ(shallow.image, owner.image);
  owner.deleteLists();
}

TEST(LumoBrep, CopyBrepIsDeepAndCarriesTheImage) {
  LumoBrep r = filledRecord(2, 3);
  LumoBrep* copy = r.copyBrep();
  ASSERT_NE(copy->vertices, r.vertices);
  EXPECT_EQ(std::memcmp(copy->vertices, r.vertices, 9 * sizeof(float)), 0);
  ASSERT_NE(copy->triangles, r.triangles);
  EXPECT_EQ(std::memcmp(copy->triangles, r.triangles, 4 * sizeof(int32_t)), 0);
  EXPECT_EQ(std::memcmp(copy->colors, r.colors, 9 * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(copy->normals, r.normals, 9 * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(copy->texCoords, r.texCoords, 6 * sizeof(float)), 0);
  EXPECT_EQ(copy->imageWidth, 2u);
  EXPECT_EQ(copy->imageHeight, 1u);
  ASSERT_NE(copy->image, r.image);
  EXPECT_EQ(std::memcmp(copy->image, r.image, 6), 0);
  // The copy stands on its own once the original is gone.
  r.deleteLists();
  EXPECT_EQ(copy->vertices[3], 1.0f);
  copy->deleteLists();
  delete copy;
}

struct ColourCase {
  int32_t binding;
  uint32_t noColors;
  uint32_t copied;   // colours in the copy
};

class CopyColours : public ::testing::TestWithParam<ColourCase> {};

TEST_P(CopyColours, ByBinding) {
  const ColourCase& c = GetParam();
  LumoBrep r = filledRecord(c.binding, c.noColors);
  LumoBrep* copy = r.copyBrep();
  EXPECT_EQ(copy->colorBinding, c.binding);
  if (c.copied == 0) {
    EXPECT_EQ(copy->colors, nullptr);
  } else {
    ASSERT_NE(copy->colors, nullptr);
    EXPECT_EQ(std::memcmp(copy->colors, r.colors, c.copied * 3 * sizeof(float)), 0);
  }
  r.deleteLists();
  copy->deleteLists();
  delete copy;
}

// Binding 1 copies the first of many colours only; binding 0 copies none.
INSTANTIATE_TEST_SUITE_P(LumoBrep, CopyColours,
                         ::testing::Values(ColourCase{0, 0, 0}, ColourCase{1, 5, 1},
                                           ColourCase{1, 1, 1}, ColourCase{2, 3, 3}));

TEST(LumoBrep, CopyOfEmptyRecord) {
  LumoBrep r;
  LumoBrep* copy = r.copyBrep();
  EXPECT_EQ(copy->noVertices, 0u);
  EXPECT_EQ(copy->noTriangles, 0u);
  EXPECT_EQ(copy->colors, nullptr);
  EXPECT_EQ(copy->normals, nullptr);
  EXPECT_EQ(copy->texCoords, nullptr);
  EXPECT_EQ(copy->image, nullptr);
  copy->deleteLists();
  delete copy;
}

TEST(LumoBitstream, DeleteChain) {
  deleteBitstream(nullptr);
  LumoBitstream* head = nullptr;
  for (int i = 0; i < 3; i++) head = new LumoBitstream{head, 4, new unsigned char[4]};
  deleteBitstream(head);  // LeakSanitizer checks that records and arrays are gone
}

TEST(StreamTables, PacketTagsAndMasks) {
  const unsigned char tags[12] = {0x0F, 0x05, 0x1F, 0x05, 0x00, 0x01, 0x01, 0x02, 0x03, 0x03, 0x07, 0x04};
  EXPECT_EQ(std::memcmp(lumoPacketTag, tags, 12), 0);
  for (int n = 0; n < 32; n++) EXPECT_EQ(mask[n], (uint32_t(1) << n) - 1) << n;
  EXPECT_EQ(mask[32], 0xFFFFFFFFu);
}

}  // namespace

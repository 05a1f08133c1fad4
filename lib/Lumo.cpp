// The mesh record's operations, the buffer chain's release, and the stream's constant tables.
#include "Lumo.h"

#include <cstring>

const unsigned char lumoPacketTag[12] = {0x0F, 0x05, 0x1F, 0x05, 0x00, 0x01,
                                         0x01, 0x02, 0x03, 0x03, 0x07, 0x04};

const uint32_t mask[33] = {
    0x00000000u, 0x00000001u, 0x00000003u, 0x00000007u, 0x0000000Fu, 0x0000001Fu, 0x0000003Fu,
    0x0000007Fu, 0x000000FFu, 0x000001FFu, 0x000003FFu, 0x000007FFu, 0x00000FFFu, 0x00001FFFu,
    0x00003FFFu, 0x00007FFFu, 0x0000FFFFu, 0x0001FFFFu, 0x0003FFFFu, 0x0007FFFFu, 0x000FFFFFu,
    0x001FFFFFu, 0x003FFFFFu, 0x007FFFFFu, 0x00FFFFFFu, 0x01FFFFFFu, 0x03FFFFFFu, 0x07FFFFFFu,
    0x0FFFFFFFu, 0x1FFFFFFFu, 0x3FFFFFFFu, 0x7FFFFFFFu, 0xFFFFFFFFu};

LumoBrep::LumoBrep()
    : vertices(nullptr), noVertices(0), triangles(nullptr), noTriangles(0), colors(nullptr),
      colorBinding(0), normals(nullptr), hasNormals(0), texCoords(nullptr), hasTexture(0),
      imageWidth(0), imageHeight(0), image(nullptr) {}

void LumoBrep::deleteLists() {
  delete[] vertices;
  vertices = nullptr;
  delete[] triangles;
  triangles = nullptr;
  delete[] colors;
  colors = nullptr;
  delete[] normals;
  normals = nullptr;
  delete[] texCoords;
  texCoords = nullptr;
  delete[] image;
  image = nullptr;
}

template <typename T>
static T* copyArray(const T* source, size_t count) {
  T* copy = new T[count];
  if (count != 0) std::memcpy(copy, source, count * sizeof(T));
  return copy;
}

// The copy also carries the texture image, so that a copy that claims a texture has one.
LumoBrep* LumoBrep::copyBrep() const {
  LumoBrep* copy = new LumoBrep;
  copy->noVertices = noVertices;
  copy->noTriangles = noTriangles;
  copy->colorBinding = colorBinding;
  copy->hasNormals = hasNormals;
  copy->hasTexture = hasTexture;
  copy->vertices = copyArray(vertices, size_t(noVertices) * 3);
  copy->triangles = copyArray(triangles, size_t(noTriangles) * 4);
  if (colorBinding == 1)
    copy->colors = copyArray(colors, 3);
  else if (colorBinding == 2)
    copy->colors = copyArray(colors, size_t(noVertices) * 3);
  if (hasNormals) copy->normals = copyArray(normals, size_t(noVertices) * 3);
  if (hasTexture) {
    copy->texCoords = copyArray(texCoords, size_t(noTriangles) * 6);
    copy->imageWidth = imageWidth;
    copy->imageHeight = imageHeight;
    copy->image = copyArray(image, size_t(imageWidth) * imageHeight * 3);
  }
  return copy;
}

void deleteBitstream(LumoBitstream* chain) {
  while (chain) {
    LumoBitstream* next = chain->next;
    delete[] chain->data;
    delete chain;
    chain = next;
  }
}

void deleteCornerList(LumoCorner* list) {
  while (list) {
    LumoCorner* next = list->next;
    delete list;
    list = next;
  }
}

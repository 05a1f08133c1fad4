// Scene import: the mesh of an Inventor scene into the encoder's mesh record. The import is built into a
// record of its own and replaces the encoder's only when it succeeds, so a refused scene leaves the
// encoder as it was.
#include "LumoEncoderIv.h"

#include <Inventor/SoPath.h>
#include <Inventor/actions/SoSearchAction.h>
#include <Inventor/nodes/SoCoordinate3.h>
#include <Inventor/nodes/SoIndexedFaceSet.h>
#include <Inventor/nodes/SoMaterial.h>
#include <Inventor/nodes/SoNormal.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoTexture2.h>
#include <Inventor/nodes/SoTextureCoordinate2.h>

#include <cstring>

namespace {

// The first node of `type` (or a derived type) in traversal order, while `search` lives.
SoNode* findFirst(SoSearchAction& search, SoType type, SoSeparator* root) {
  search.setType(type, TRUE);
  search.apply(root);
  SoPath* path = search.getPath();
  return path ? path->getTail() : nullptr;
}

// Triangles as groups of three indices and -1; trailing entries after the last whole group are not
// read. Refuses a group that is not a triangle or an index outside the vertex array.
bool importTriangles(const SoMFInt32& coordIndex, uint32_t noVertices, LumoBrep& mesh) {
  const int32_t* index = coordIndex.getValues(0);
  mesh.noTriangles = uint32_t(coordIndex.getNum()) / 4;
  for (uint32_t i = 0; i < mesh.noTriangles; i++) {
    if (index[4 * i + 3] != -1) return false;
    for (int k = 0; k < 3; k++)
      if (index[4 * i + k] < 0 || uint32_t(index[4 * i + k]) >= noVertices) return false;
  }
  mesh.triangles = new int32_t[size_t(mesh.noTriangles) * 4];
  for (uint32_t i = 0; i < mesh.noTriangles; i++) {
    std::memcpy(mesh.triangles + 4 * i, index + 4 * i, 3 * sizeof(int32_t));
    mesh.triangles[4 * i + 3] = -1;
  }
  return true;
}

float* copyVec3(const SbVec3f* values, uint32_t count) {
  float* copy = new float[size_t(count) * 3];
  for (uint32_t i = 0; i < count; i++) values[i].getValue(copy[3 * i], copy[3 * i + 1], copy[3 * i + 2]);
  return copy;
}

// Texture coordinates one per triangle corner, then the RGB image. False for an image that is not RGB;
// too few coordinates or an image of width 0 leave the mesh untextured.
bool importTexture(SoTextureCoordinate2* coordinates, SoTexture2* texture, LumoBrep& mesh) {
  size_t noCoordinates = size_t(mesh.noTriangles) * 3;
  if (size_t(coordinates->point.getNum()) < noCoordinates) return true;
  SbVec2s size;
  int components = 0;
  const unsigned char* pixels = texture->image.getValue(size, components);
  if (components != 3) return false;
  if (size[0] <= 0 || size[1] < 0) return true;
  mesh.hasTexture = 1;
  mesh.texCoords = new float[noCoordinates * 2];
  const SbVec2f* point = coordinates->point.getValues(0);
  for (size_t i = 0; i < noCoordinates; i++) point[i].getValue(mesh.texCoords[2 * i], mesh.texCoords[2 * i + 1]);
  mesh.imageWidth = uint32_t(size[0]);
  mesh.imageHeight = uint32_t(size[1]);
  size_t noBytes = size_t(mesh.imageWidth) * mesh.imageHeight * 3;
  mesh.image = new unsigned char[noBytes];
  if (noBytes) std::memcpy(mesh.image, pixels, noBytes);
  return true;
}

}  // namespace

LumoEncoderIv::~LumoEncoderIv() { brep.deleteLists(); }

bool LumoEncoderIv::setIvObject(SoSeparator* root) {
  SoSearchAction faceSetSearch, coordinateSearch, materialSearch, normalSearch,
      textureCoordinateSearch, textureSearch;
  auto* faceSet = static_cast<SoIndexedFaceSet*>(
      findFirst(faceSetSearch, SoIndexedFaceSet::getClassTypeId(), root));
  if (!faceSet) return false;
  auto* coordinate =
      static_cast<SoCoordinate3*>(findFirst(coordinateSearch, SoCoordinate3::getClassTypeId(), root));
  if (!coordinate) return false;
  auto* material =
      static_cast<SoMaterial*>(findFirst(materialSearch, SoMaterial::getClassTypeId(), root));
  auto* normal = static_cast<SoNormal*>(findFirst(normalSearch, SoNormal::getClassTypeId(), root));
  auto* textureCoordinate = static_cast<SoTextureCoordinate2*>(
      findFirst(textureCoordinateSearch, SoTextureCoordinate2::getClassTypeId(), root));
  auto* texture =
      static_cast<SoTexture2*>(findFirst(textureSearch, SoTexture2::getClassTypeId(), root));

  LumoBrep mesh;
  mesh.noVertices = uint32_t(coordinate->point.getNum());
  if (!importTriangles(faceSet->coordIndex, mesh.noVertices, mesh)) {
    mesh.deleteLists();
    return false;
  }
  mesh.vertices = copyVec3(coordinate->point.getValues(0), mesh.noVertices);

  if (material && material->diffuseColor.getNum() > 0) {
    uint32_t noColors = uint32_t(material->diffuseColor.getNum());
    mesh.colorBinding = noColors == mesh.noVertices ? 2 : 1;
    mesh.colors = copyVec3(material->diffuseColor.getValues(0), noColors);
  }
  if (normal && uint32_t(normal->vector.getNum()) >= mesh.noVertices) {
    mesh.hasNormals = 1;
    mesh.normals = copyVec3(normal->vector.getValues(0), mesh.noVertices);
  }
  if (textureCoordinate && texture && !importTexture(textureCoordinate, texture, mesh)) {
    mesh.deleteLists();
    return false;
  }

  brep.deleteLists();
  releaseClusterTree();
  brep = mesh;
  return true;
}

// Scene output: the decoder's Inventor variant. Each override runs the decoder's own operation and, when
// that succeeded, copies only what the operation changed into the node group under `separator`, which the
// viewers put into their scene. The triangle table doubles as the face set's coordinate index: every slot
// ends in -1, and the shown triangles are always a prefix of the table.
#include "LumoDecoderIv.h"

#include <Inventor/SbLinear.h>
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

#include <climits>

namespace {

typedef const float (*Vec3Array)[3];
typedef const float (*Vec2Array)[2];

// The image field keeps its size in two 16-bit components and its byte count in an int. A stream may
// announce an image beyond that; such an image is not shown rather than handed over with a wrapped size.
// An image without rows has nothing to show either.
bool fitsImageField(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > SHRT_MAX || height > SHRT_MAX) return false;
  return uint64_t(width) * height * 3 <= uint64_t(INT_MAX);
}

void markSlotEnds(int32_t* triangles, uint32_t noSlots) {
  for (uint32_t t = 0; t < noSlots; t++) triangles[4 * t + 3] = -1;
}

// The texture coordinates follow the mesh either way; only the image and its binding depend on the size.
void showImage(const LumoBrep& brep, SoTexture2* texture, SoTextureCoordinateBinding* binding) {
  if (!fitsImageField(brep.imageWidth, brep.imageHeight)) return;
  texture->image.setValue(SbVec2s(short(brep.imageWidth), short(brep.imageHeight)), 3, brep.image);
  binding->value = SoTextureCoordinateBinding::PER_VERTEX;
}

}  // namespace

LumoDecoderIv::LumoDecoderIv()
    : separator(new SoSeparator),
      faceSet(new SoIndexedFaceSet),
      coordinate(new SoCoordinate3),
      material(new SoMaterial),
      normal(new SoNormal),
      textureCoordinate(new SoTextureCoordinate2),
      materialBinding(new SoMaterialBinding),
      normalBinding(new SoNormalBinding),
      textureCoordinateBinding(new SoTextureCoordinateBinding),
      texture(new SoTexture2) {
  separator->ref();
  // Bindings and property nodes must precede the shape they apply to.
  separator->addChild(texture);
  separator->addChild(materialBinding);
  separator->addChild(normalBinding);
  separator->addChild(textureCoordinateBinding);
  separator->addChild(material);
  separator->addChild(normal);
  separator->addChild(textureCoordinate);
  separator->addChild(coordinate);
  separator->addChild(faceSet);
}

LumoDecoderIv::~LumoDecoderIv() { separator->unref(); }

void LumoDecoderIv::reset(LumoBrep& handedBrep, LumoDecoderCluster* root, LumoDecoderCluster** levels,
                          unsigned int count) {
  LumoDecoder::reset(handedBrep, root, levels, count);
  markSlotEnds(brep.triangles, maxNoTriangles);
  coordinate->point.setValues(0, int(brep.noVertices), Vec3Array(brep.vertices));
  if (brep.colorBinding == 1) {
    material->diffuseColor.setValue(brep.colors);
  } else if (brep.colorBinding == 2) {
    material->diffuseColor.setValues(0, int(brep.noVertices), Vec3Array(brep.colors));
    materialBinding->value = SoMaterialBinding::PER_VERTEX_INDEXED;
  }
  if (brep.hasNormals) {
    normal->vector.setValues(0, int(brep.noVertices), Vec3Array(brep.normals));
    normalBinding->value = SoNormalBinding::PER_VERTEX_INDEXED;
  }
  if (brep.hasTexture) {
    showImage(brep, texture, textureCoordinateBinding);
    textureCoordinate->point.setValues(0, int(maxNoTriangles * 3), Vec2Array(brep.texCoords));
  }
}

int LumoDecoderIv::decodeHeaderPacket() {
  if (!LumoDecoder::decodeHeaderPacket()) return 0;
  markSlotEnds(brep.triangles, maxNoTriangles);
  if (brep.colorBinding == 1)
    material->diffuseColor.setValue(brep.colors);
  else if (brep.colorBinding == 2)
    materialBinding->value = SoMaterialBinding::PER_VERTEX_INDEXED;
  if (brep.hasNormals) normalBinding->value = SoNormalBinding::PER_VERTEX_INDEXED;
  if (brep.hasTexture) showImage(brep, texture, textureCoordinateBinding);
  return 1;
}

int LumoDecoderIv::decodeVertexPacket() {
  if (!LumoDecoder::decodeVertexPacket()) return 0;
  int v = int(brep.noVertices) - 1;
  coordinate->point.set1Value(v, brep.vertices + 3 * v);
  if (brep.colorBinding == 2) material->diffuseColor.set1Value(v, brep.colors + 3 * v);
  if (brep.hasNormals) normal->vector.set1Value(v, brep.normals + 3 * v);
  return 1;
}

int LumoDecoderIv::decodeTrianglePacket() {
  if (!LumoDecoder::decodeTrianglePacket()) return 0;
  if (brep.hasTexture) {
    // Bound per vertex, not indexed: face t takes the three coordinates from 3t on, its own corners.
    uint32_t t = noDecodedTriangles - 1;
    textureCoordinate->point.setValues(int(3 * t), 3, Vec2Array(brep.texCoords + 6 * size_t(t)));
  }
  return 1;
}

int LumoDecoderIv::decodeMultiTrianglePacket() { return LumoDecoder::decodeMultiTrianglePacket() ? 1 : 0; }

int LumoDecoderIv::decodeExtendedPacket() { return LumoDecoder::decodeExtendedPacket() ? 1 : 0; }

void LumoDecoderIv::update() {
  LumoDecoder::update();
  int n = int(brep.noTriangles) * 4;
  faceSet->coordIndex.setNum(n);
  if (n > 0) faceSet->coordIndex.setValues(0, n, brep.triangles);
}

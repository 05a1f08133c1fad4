// The decoder that keeps an Open Inventor node group in step with the decoded mesh: every virtual
// operation runs the decoder's own first and then copies what changed into the nodes under `separator`.
#pragma once

#include "LumoDecoder.h"

class SoSeparator;
class SoIndexedFaceSet;
class SoCoordinate3;
class SoMaterial;
class SoNormal;
class SoTextureCoordinate2;
class SoMaterialBinding;
class SoNormalBinding;
class SoTextureCoordinateBinding;
class SoTexture2;

class LumoDecoderIv : public LumoDecoder {
 public:
  SoSeparator* separator;
  SoIndexedFaceSet* faceSet;
  SoCoordinate3* coordinate;
  SoMaterial* material;
  SoNormal* normal;
  SoTextureCoordinate2* textureCoordinate;
  SoMaterialBinding* materialBinding;
  SoNormalBinding* normalBinding;
  SoTextureCoordinateBinding* textureCoordinateBinding;
  SoTexture2* texture;

  LumoDecoderIv();
  ~LumoDecoderIv();

  SoSeparator* getIvObject() { return separator; }

  using LumoDecoder::reset;
  void reset(LumoBrep& brep, LumoDecoderCluster* root, LumoDecoderCluster** levels,
             unsigned int count) override;
  int decodeHeaderPacket() override;
  int decodeVertexPacket() override;
  int decodeTrianglePacket() override;
  int decodeMultiTrianglePacket() override;
  int decodeExtendedPacket() override;
  void update() override;
};

// The encoder fed from an Open Inventor scene: setIvObject copies the first indexed face set of a scene,
// with the first coordinates, material, normals, texture coordinates and texture found, into the
// encoder's mesh record. The arrays it allocates belong to this object.
#pragma once

#include "LumoEncoder.h"

class SoSeparator;

class LumoEncoderIv : public LumoEncoder {
 public:
  ~LumoEncoderIv();
  bool setIvObject(SoSeparator* root);
};

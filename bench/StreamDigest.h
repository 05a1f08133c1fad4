// The digest by which benchmark and tests recognise a stream: FNV-1a (64 bits) over the stream's bytes
// in chain order, so that the same stream cut into buffers of any size has the same digest. The table
// below names the generated meshes that both use, with the digests of their streams; any change to the
// encoder must leave every one of them as it is.
#pragma once

#include <cstdint>
#include <cstring>

#include "Lumo.h"
#include "MeshGenerator.h"

namespace streamdigest {

inline uint64_t fnv1a(const LumoBitstream* chain) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (; chain; chain = chain->next)
    for (uint32_t i = 0; i < chain->length; i++) {
      hash ^= chain->data[i];
      hash *= 0x100000001b3ull;
    }
  return hash;
}

struct GeneratedMesh {
  const char* name;
  meshgen::Options options;
  uint64_t digest;   // 0 where none has been recorded yet
};

// Sphere meshes of about 100k, 1M and 4M triangles with positions only, and the 100k one with every
// attribute the stream carries.
inline const GeneratedMesh* generatedMeshes(size_t& count) {
  static const GeneratedMesh meshes[] = {
      {"sphere-100k", {71, false, false, false}, 0xe4189dfb4e1127b9ull},
      {"sphere-100k-full", {71, true, true, true}, 0x267b720cdc8601fdull},
      {"sphere-1m", {224, false, false, false}, 0xbfce808eb7c3a127ull},
      {"sphere-4m", {447, false, false, false}, 0xb5c8535a7f8067b9ull},
  };
  count = sizeof meshes / sizeof meshes[0];
  return meshes;
}

inline const GeneratedMesh* findGeneratedMesh(const char* name) {
  size_t count;
  const GeneratedMesh* meshes = generatedMeshes(count);
  for (size_t i = 0; i < count; i++)
    if (std::strcmp(meshes[i].name, name) == 0) return &meshes[i];
  return nullptr;
}

}  // namespace streamdigest

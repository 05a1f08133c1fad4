// Core records shared by encoder, decoder and the Inventor adapters: the mesh record, one buffer of a
// stream chain, the corner reference that both cluster trees keep in their corner lists, the packet tag
// table and the read masks of the bit reader.
#pragma once

#include <cstdint>

// A triangle mesh. Plain record: copying it by value shares its arrays; whoever filled it owns them and
// releases them with deleteLists().
struct LumoBrep {
  float* vertices;          // noVertices × (x, y, z)
  uint32_t noVertices;
  int32_t* triangles;       // noTriangles × 4 words: three vertex indices in winding order, then -1
  uint32_t noTriangles;     //   where the table is shown through Inventor
  float* colors;            // binding 1: the first entry is the mesh's colour; binding 2: one per vertex
  int32_t colorBinding;     // 0 none, 1 overall, 2 per vertex
  float* normals;           // noVertices × (x, y, z) when hasNormals
  uint8_t hasNormals;
  float* texCoords;         // noTriangles × 3 corners × (s, t)
  uint8_t hasTexture;
  uint32_t imageWidth;
  uint32_t imageHeight;
  unsigned char* image;     // imageHeight rows of imageWidth RGB pixels

  LumoBrep();
  void deleteLists();
  LumoBrep* copyBrep() const;
};

// One byte buffer of a stream. The stream is the first `length` bytes of every buffer in chain order.
struct LumoBitstream {
  LumoBitstream* next;
  uint32_t length;
  unsigned char* data;
};

// Frees a chain (records and byte arrays) from `chain` on; a null chain is accepted.
void deleteBitstream(LumoBitstream* chain);

// A reference to one corner of one triangle, the element of every corner list. Encoder and decoder keep
// the same record so that the direct hand-off can pass finished lists on as they are.
struct LumoCorner {
  uint32_t triangle;
  uint8_t corner;
  uint8_t side;
  LumoCorner* next;
};

// Frees every record of a corner list.
void deleteCornerList(LumoCorner* list);

// Packet tags as (value, bit count) pairs: header, end, vertex, triangle, multi-triangle, extended.
enum LumoPacket : int {
  lumoHeaderPacket = 0,
  lumoEndTag = 1,
  lumoVertexPacket = 2,
  lumoTrianglePacket = 3,
  lumoMultiTrianglePacket = 4,
  lumoExtendedPacket = 5,
};
extern const unsigned char lumoPacketTag[12];

// mask[n] keeps the n low bits of a word, n = 0 to 32.
extern const uint32_t mask[33];

// The stream writer: getBitstream walks the finished cluster tree coarsest split first and emits the
// header, the vertex and triangle packets and the end tag into a fresh chain of byte buffers; the three
// field writers below it pack unsigned fields, 24-bit floats and cluster paths least significant bit
// first. The chain goes to the caller (lumopack writes it to a file, a decoder can read it directly).
#include <cstdint>
#include <cstring>
#include <vector>

#include "LumoEncoder.h"

namespace {

LumoBitstream* newBuffer(uint32_t size, uint32_t length) {
  LumoBitstream* buffer = new LumoBitstream;
  buffer->next = nullptr;
  buffer->length = length;
  buffer->data = new unsigned char[size];
  return buffer;
}

// A record that claims a texture without an image width cannot be told apart from an untextured one
// by a reader, so it is written as untextured: every stream the writer makes parses.
bool carriesTexture(const LumoBrep& brep) { return brep.hasTexture && brep.imageWidth != 0; }

// Only bindings 1 and 2 bring colours along; anything else is written as "no colour" so that the
// two-bit field never spills into the following bits.
uint32_t colorBindingOf(const LumoBrep& brep) {
  return brep.colorBinding == 1 || brep.colorBinding == 2 ? uint32_t(brep.colorBinding) : 0;
}

void encodeTag(LumoEncoder& encoder, LumoPacket packet) {
  encoder.encodeBit(lumoPacketTag[2 * packet], char(lumoPacketTag[2 * packet + 1]));
}

void encodeHeaderPacket(LumoEncoder& encoder) {
  const LumoBrep& brep = encoder.brep;
  encodeTag(encoder, lumoHeaderPacket);
  encoder.encodeBit(encoder.noClusters, 32);
  encoder.encodeBit(brep.noVertices, 32);
  encoder.encodeBit(brep.noTriangles, 32);
  encoder.encodeBit(colorBindingOf(brep), 2);
  encoder.encodeBit(brep.hasNormals ? 1 : 0, 1);
  if (carriesTexture(brep)) {
    encoder.encodeBit(brep.imageWidth, 32);
    encoder.encodeBit(brep.imageHeight, 32);
    // Row after row, pixel after pixel, red green blue: the image's own byte order.
    const size_t noBytes = size_t(brep.imageWidth) * brep.imageHeight * 3;
    for (size_t i = 0; i < noBytes; i++) encoder.encodeBit(brep.image[i], 8);
  } else {
    encoder.encodeBit(0, 32);
  }
  if (colorBindingOf(brep) == 1)
    for (int k = 0; k < 3; k++) encoder.encodeFloat32(brep.colors[k]);
}

// The tag and the data of vertex v: position, then colour and normal where the header announced them.
void encodeVertex(LumoEncoder& encoder, uint32_t v) {
  const LumoBrep& brep = encoder.brep;
  encodeTag(encoder, lumoVertexPacket);
  for (int k = 0; k < 3; k++) encoder.encodeFloat32(brep.vertices[3 * size_t(v) + k]);
  if (colorBindingOf(brep) == 2)
    for (int k = 0; k < 3; k++) encoder.encodeFloat32(brep.colors[3 * size_t(v) + k]);
  if (brep.hasNormals)
    for (int k = 0; k < 3; k++) encoder.encodeFloat32(brep.normals[3 * size_t(v) + k]);
}

// The paths of the clusters the stream has built so far, each found once from its parent's when the
// parent's split is written, so that writing a path does not walk the parent links up to the root
// (one cache miss per level on large trees). Open addressing on the cluster's address. Paths longer
// than 64 levels are not kept; encodeClusterId walks those.
class PathTable {
 public:
  explicit PathTable(uint32_t noClusters) {
    size_t size = 16;
    while (size < size_t(noClusters) * 2) size *= 2;
    slots.assign(size, Slot{nullptr, 0, 0});
    shift = 64;
    for (size_t s = size; s > 1; s >>= 1) shift--;
  }

  void add(const LumoEncoderCluster* cluster, uint64_t bits, uint32_t depth) {
    Slot& slot = find(cluster);
    slot.cluster = cluster;
    slot.bits = bits;
    slot.depth = depth;
  }

  // The children's paths, from the parent's, when the parent's is kept.
  void addChildren(const LumoEncoderCluster* parent) {
    const Slot& slot = find(parent);
    if (!slot.cluster || slot.depth >= 64) return;
    add(parent->firstChild, slot.bits, slot.depth + 1);
    add(parent->secondChild, slot.bits | uint64_t(1) << slot.depth, slot.depth + 1);
  }

  // Root level first, in the same 32-bit groups as encodeClusterId.
  void encode(LumoEncoder& encoder, LumoEncoderCluster* cluster) {
    const Slot& slot = find(cluster);
    if (!slot.cluster) {
      encoder.encodeClusterId(cluster);
      return;
    }
    uint64_t bits = slot.bits;
    for (uint32_t remaining = slot.depth; remaining > 0;) {
      const uint32_t count = remaining < 32 ? remaining : 32;
      encoder.encodeBit(unsigned(bits & 0xffffffffu), char(count));
      bits >>= 32;
      remaining -= count;
    }
  }

 private:
  struct Slot {
    const LumoEncoderCluster* cluster;
    uint64_t bits;
    uint32_t depth;
  };
  std::vector<Slot> slots;
  unsigned shift;

  Slot& find(const LumoEncoderCluster* cluster) {
    size_t i = size_t((uint64_t(reinterpret_cast<uintptr_t>(cluster)) * 0x9e3779b97f4a7c15ull) >> shift);
    while (slots[i].cluster && slots[i].cluster != cluster) i = (i + 1) & (slots.size() - 1);
    return slots[i];
  }
};

void encodeTrianglePacket(LumoEncoder& encoder, PathTable& paths, const LumoEncoderSplitTriangle& t) {
  encodeTag(encoder, lumoTrianglePacket);
  paths.encode(encoder, t.thirdCluster);
  encoder.encodeBit(t.orientation ? 1 : 0, 1);
  if (!carriesTexture(encoder.brep)) return;
  // Each (u, v) pair goes with its vertex into the restored triangle's corner order: the third
  // cluster's corner, then the two children's in the order that keeps the mesh triangle's winding.
  const float* uv = encoder.brep.texCoords + 6 * size_t(t.triangle);
  const int third = 3 - t.firstCorner - t.secondCorner;
  const int middle = t.orientation ? t.firstCorner : t.secondCorner;
  const int last = t.orientation ? t.secondCorner : t.firstCorner;
  for (int corner : {third, middle, last}) {
    encoder.encodeFloat32(uv[2 * corner]);
    encoder.encodeFloat32(uv[2 * corner + 1]);
  }
}

// One split: the vertex it brings back, the path of the cluster split, one bit per entry of that
// cluster's corner list (in list order, which the reader rebuilds the same way), the restored triangles.
void encodeSplit(LumoEncoder& encoder, PathTable& paths, LumoEncoderCluster* cluster) {
  encodeVertex(encoder, cluster->secondChild->vertex);
  paths.encode(encoder, cluster);
  paths.addChildren(cluster);
  for (const LumoEncoderCorner* corner = cluster->splitCorners; corner; corner = corner->next)
    encoder.encodeBit(corner->side ? 1 : 0, 1);
  for (const LumoEncoderSplitTriangle* t = cluster->splitTriangles; t; t = t->next)
    encodeTrianglePacket(encoder, paths, *t);
}

}  // namespace

LumoBitstream* LumoEncoder::getBitstream(unsigned int bufferSize) {
  if (bufferSize == 0) return nullptr;
  if (!clusterTreeBuilt) generateClusterTree();

  // The first byte counts from the start: every stream has at least one.
  LumoBitstream* first = newBuffer(bufferSize, 1);
  bitstreamSize = bufferSize;
  writeBitstream = first;
  writeBytePtr = first->data;
  writeEnd = first->data + bufferSize;
  writeBitPos = 0;

  encodeHeaderPacket(*this);
  // clusterList runs newest merge first, so every cluster is split after its parent and every path
  // names a cluster that the reader holds as a leaf at that point.
  if (clusterList) {
    encodeVertex(*this, clusterList->vertex);
    PathTable paths(noClusters);
    paths.add(clusterList, 0, 0);
    for (LumoEncoderCluster* cluster = clusterList; cluster; cluster = cluster->next)
      encodeSplit(*this, paths, cluster);
  }
  encodeTag(*this, lumoEndTag);
  writeBitstream->next = nullptr;
  return first;
}

// Moving on to the next byte is lazy (done by the next field, not by the one that filled the byte), so
// a buffer is chained only when a bit has to go into it and the stream never ends in an empty buffer.
void LumoEncoder::encodeBit(unsigned int value, char width) {
  const unsigned int n = static_cast<unsigned char>(width);
  auto moveOn = [this]() {
    writeBytePtr++;
    if (writeBytePtr == writeEnd) {
      LumoBitstream* buffer = newBuffer(bitstreamSize, 0);
      writeBitstream->next = buffer;
      writeBitstream = buffer;
      writeBytePtr = buffer->data;
      writeEnd = buffer->data + bitstreamSize;
    }
    writeBitstream->length++;
    writeBitPos = 0;
  };

  if (writeBitPos == 8) moveOn();
  if (n != 0 && n <= 32 && writeEnd - writeBytePtr >= 5) {
    encodeWithinBuffer(value, n);
    return;
  }
  unsigned int written = 0;
  for (;;) {
    // A fresh byte is assigned, not combined: the bits above the field stay zero.
    if (writeBitPos == 0)
      *writeBytePtr = static_cast<unsigned char>(value);
    else
      *writeBytePtr |= static_cast<unsigned char>(value << writeBitPos);
    const unsigned int room = 8u - writeBitPos;
    written += room;
    if (written >= n) {
      writeBitPos = static_cast<uint8_t>(n + 8 - written);
      return;
    }
    value >>= room;
    moveOn();
  }
}

// The same bytes as the byte-by-byte loop of encodeBit for a field of 1 to 32 bits whose bytes (at most
// five) all lie in the current buffer: the first byte combined, the following ones assigned, the last
// one taking whatever bits of `value` reach it, and the cursor left on the last byte written.
void LumoEncoder::encodeWithinBuffer(unsigned int value, unsigned int n) {
  const uint64_t bits = uint64_t(value) << writeBitPos;
  const unsigned int noBytes = (writeBitPos + n + 7) / 8;
  if (writeBitPos == 0)
    writeBytePtr[0] = static_cast<unsigned char>(bits);
  else
    writeBytePtr[0] |= static_cast<unsigned char>(bits);
  for (unsigned int i = 1; i < noBytes; i++) writeBytePtr[i] = static_cast<unsigned char>(bits >> (8 * i));
  writeBytePtr += noBytes - 1;
  writeBitstream->length += noBytes - 1;
  writeBitPos = static_cast<uint8_t>(writeBitPos + n - 8 * (noBytes - 1));
}

void LumoEncoder::encodeFloat32(float f) {
  uint32_t pattern;
  std::memcpy(&pattern, &f, sizeof pattern);
  encodeBit(pattern >> 8, 24);
}

// The path is found bottom-up but sent root level first. Trees can be as deep as the input makes them,
// so the bits are gathered in a loop (into a buffer the encoder keeps between calls) and sent in 32-bit
// groups instead of recursing per level.
void LumoEncoder::encodeClusterId(LumoEncoderCluster* cluster) {
  std::vector<uint8_t>& upward = pathScratch;
  upward.clear();
  for (LumoEncoderCluster* c = cluster; c->parent; c = c->parent)
    upward.push_back(c->parent->secondChild == c ? 1 : 0);

  size_t remaining = upward.size();
  while (remaining > 0) {
    const unsigned int count = remaining < 32 ? unsigned(remaining) : 32u;
    unsigned int bits = 0;
    for (unsigned int i = 0; i < count; i++) bits |= unsigned(upward[remaining - 1 - i]) << i;
    encodeBit(bits, char(count));
    remaining -= count;
  }
}

// The decoder object, its buffer intake, the bit reader, the packet dispatcher and the five packet
// decoders, which turn a stream into the cluster tree, the level array and the triangle table. The
// level-of-detail control that shows the decoded mesh lives in LumoDecoderLevels.cpp.
//
// Every packet is decoded whole or not at all: a decoder that runs out of bits returns 0 and leaves only
// changes that its retry writes again, and the dispatcher then starts again at the packet's tag once more
// bits are held. A packet that breaks the stream's order (or a header the memory limit refuses) marks the
// stream damaged instead: the input is dropped, and what was decoded before stays showable.
#include "LumoDecoder.h"

#include <cfloat>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vector.h"

namespace {

// The counts and flags of a header packet, as read and before anything is allocated for them.
struct LumoHeaderCounts {
  uint32_t clusters;
  uint32_t vertices;
  uint32_t triangles;
  uint32_t colorBinding;
  uint32_t normals;
  uint32_t width;
  uint32_t height;
};

const uint64_t noSize = UINT64_MAX;

// Bytes of all arrays a header asks for, or noSize when the image size does not fit 64 bits.
uint64_t headerArrayBytes(const LumoHeaderCounts& h) {
  uint64_t perVertex = 12 + (h.normals ? 12 : 0) + (h.colorBinding == 2 ? 12 : 0);
  uint64_t perTriangle = 16 + (h.width != 0 ? 24 : 0);
  uint64_t rest = perVertex * h.vertices + perTriangle * h.triangles + 8 * uint64_t(h.clusters) +
                  (h.colorBinding == 1 ? 12 : 0);
  uint64_t pixels = uint64_t(h.width) * h.height;
  if (pixels > (noSize - rest) / 3) return noSize;
  return pixels * 3 + rest;
}

// Bits of the header that follow its size fields: the image bytes and the overall colour.
uint64_t headerBodyBits(const LumoHeaderCounts& h) {
  uint64_t pixels = uint64_t(h.width) * h.height;
  uint64_t colour = h.colorBinding == 1 ? 72 : 0;
  if (pixels > (noSize - colour) / 24) return noSize;
  return pixels * 24 + colour;
}

LumoDecoderCluster* newCluster(uint32_t vertex) {
  return new LumoDecoderCluster{vertex, 0.0f, nullptr, nullptr, nullptr, 0};
}

uint32_t countCorners(const LumoDecoderCorner* list) {
  uint32_t n = 0;
  for (; list; list = list->next) n++;
  return n;
}

// Frees a subtree without recursion: while the top node has a first child, the tree is rotated so that
// the child becomes the top; a top without a first child is freed and its second child's subtree is next.
// Every node is detached from its children before its destructor runs.
void deleteSubtree(LumoDecoderCluster* node) {
  while (node) {
    LumoDecoderCluster* first = node->firstChild;
    if (first) {
      node->firstChild = first->secondChild;
      first->secondChild = node;
      node = first;
    } else {
      LumoDecoderCluster* next = node->secondChild;
      node->secondChild = nullptr;
      delete node;
      node = next;
    }
  }
}

}  // namespace

LumoDecoderCluster::~LumoDecoderCluster() {
  deleteCornerList(corners);
  LumoDecoderCluster* first = firstChild;
  LumoDecoderCluster* second = secondChild;
  firstChild = secondChild = nullptr;
  deleteSubtree(first);
  deleteSubtree(second);
}

LumoDecoder::LumoDecoder()
    : lastBitstream(nullptr), firstBitstream(nullptr), bytePtr(nullptr), bitPos(0), noBits(0),
      readBitstream(nullptr), readEnd(nullptr), readBytePtr(nullptr), readBitPos(0), bitBudget(0),
      clusterTree(nullptr), parentCluster(nullptr), parentNoTriangles(0), levelClusters(nullptr),
      level(0), noLevels(0), brepBorrowed(0), noDecodedTriangles(0), minParentClusterSize(FLT_MAX),
      requestedNoTriangles(0), availableNoTriangles(0), maxNoTriangles(0), headerDecoded(0),
      damaged(0), ended(0), maxNoLevels(0), maxNoVertices(0), memoryLimit(defaultMemoryLimit),
      packetBudget(0), packetNeed(0) {
  reset();
}

LumoDecoder::~LumoDecoder() { reset(); }

// The memory limit is the caller's setting and survives; so does brepBorrowed, which only the next
// header clears. A borrowed record is emptied without releasing its arrays, so that it never points at
// arrays that their owner may release later.
void LumoDecoder::reset() {
  deleteBitstream(firstBitstream);
  firstBitstream = lastBitstream = nullptr;
  bytePtr = nullptr;
  bitPos = 0;
  noBits = 0;
  delete clusterTree;
  clusterTree = nullptr;
  parentCluster = nullptr;
  parentNoTriangles = 0;
  delete[] levelClusters;
  levelClusters = nullptr;
  level = 0;
  noLevels = 0;
  if (!brepBorrowed) brep.deleteLists();
  brep = LumoBrep();
  noDecodedTriangles = 0;
  minParentClusterSize = FLT_MAX;
  requestedNoTriangles = 0;
  availableNoTriangles = 0;
  maxNoTriangles = 0;
  headerDecoded = 0;
  damaged = 0;
  ended = 0;
  maxNoLevels = 0;
  maxNoVertices = 0;
  packetBudget = 0;
  packetNeed = 0;
}

// The handed-over tree stands where a whole decoded stream would leave it, so the decoder counts as
// ended: buffers added afterwards are dropped rather than decoded into a tree that holds mesh numbers.
// A tree without splits comes as a null root with no level array; a null array counts as no levels.
void LumoDecoder::reset(LumoBrep& mesh, LumoDecoderCluster* root, LumoDecoderCluster** levels,
                        unsigned int count) {
  reset();
  clusterTree = root;
  brep = mesh;
  brepBorrowed = 1;
  maxNoTriangles = mesh.noTriangles;
  brep.noTriangles = 0;
  levelClusters = levels;
  noLevels = levels ? count : 0;
  // What the levels restore, as after the end tag of this encoder's stream: the record may also hold
  // triangles that name one vertex twice, which no split restores and no level can show.
  availableNoTriangles = noLevels ? levels[noLevels - 1]->totalNoTriangles : 0;
  maxNoLevels = noLevels;
  maxNoVertices = mesh.noVertices;
  noDecodedTriangles = mesh.noTriangles;
  headerDecoded = 1;
  ended = 1;
}

void LumoDecoder::markDamaged() {
  damaged = 1;
  deleteBitstream(firstBitstream);
  firstBitstream = lastBitstream = nullptr;
  bytePtr = nullptr;
  bitPos = 0;
  noBits = 0;
}

// The held bits are counted in 32 bits like every budget; input that would overflow that count can never
// be decoded and marks the stream damaged.
void LumoDecoder::addBitstream(LumoBitstream* bitstream) {
  if (!bitstream) return;
  bitstream->next = nullptr;
  if (damaged || ended) {
    deleteBitstream(bitstream);
    return;
  }
  uint64_t bits = uint64_t(bitstream->length) * 8;
  if (noBits + bits > UINT32_MAX) {
    deleteBitstream(bitstream);
    markDamaged();
    return;
  }
  if (firstBitstream) {
    lastBitstream->next = bitstream;
  } else {
    firstBitstream = bitstream;
    bytePtr = bitstream->data;
    bitPos = 0;
  }
  lastBitstream = bitstream;
  noBits += uint32_t(bits);
}

// ---------------------------------------------------------------------------------------------------
// Bit reader.

// Steps to a following byte only when bits are wanted, so the cursor never needs a buffer that has not
// arrived. Empty buffers are stepped over: the budget guarantees that a later buffer holds the bits.
// Most fields lie well inside the buffer being read: one 64-bit load then holds every bit of the
// field (at most 7 + 32 of them).
bool LumoDecoder::readFast(unsigned int& value, unsigned n) {
  uint64_t window;
  if (peekWindow(window) < n) return false;
  value = uint32_t(window) & mask[n];
  skipBits(n);
  return true;
}

int LumoDecoder::decodeBit(unsigned int& value, char width) {
  unsigned n = static_cast<unsigned char>(width);
  if (n > 32 || bitBudget < n) return 0;
  if (n != 0 && readFast(value, n)) return 1;
  uint32_t gathered = 0;
  unsigned got = 0;
  while (got < n) {
    if (readBitPos == 8) {
      readBytePtr++;
      readBitPos = 0;
    }
    while (readBytePtr == readEnd) {
      readBitstream = readBitstream->next;
      readBytePtr = readBitstream->data;
      readEnd = readBitstream->data + readBitstream->length;
    }
    unsigned take = 8u - readBitPos;
    if (take > n - got) take = n - got;
    gathered |= (uint32_t(*readBytePtr >> readBitPos) & mask[take]) << got;
    readBitPos = static_cast<unsigned char>(readBitPos + take);
    got += take;
  }
  bitBudget -= n;
  value = gathered & mask[n];
  return 1;
}

int LumoDecoder::decodeFloat32(float& f) {
  unsigned int value;
  if (!decodeBit(value, 24)) return 0;
  uint32_t pattern = uint32_t(value) << 8;
  static_assert(sizeof(float) == sizeof(uint32_t), "32-bit floats");
  std::memcpy(&f, &pattern, sizeof f);
  return 1;
}

// The path's length comes from the tree: it ends at the first cluster that has not been split.
// Paths are most of a stream's bits. Where the buffer allows, the bits of a path are taken from one
// 64-bit load instead of one read call per tree level; the cursor then moves as it would bit by bit.
int LumoDecoder::decodeClusterId(LumoDecoderCluster*& cluster) {
  LumoDecoderCluster* c = clusterTree;
  if (!c) return 0;
  while (c->secondChild) {
    uint64_t window;
    unsigned limit = peekWindow(window);
    unsigned used = 0;
    for (; used < limit && c->secondChild; used++) c = (window >> used) & 1 ? c->secondChild : c->firstChild;
    if (used) {
      skipBits(used);
      continue;
    }
    unsigned int bit;
    if (!decodeBit(bit, 1)) return 0;
    c = bit ? c->secondChild : c->firstChild;
  }
  cluster = c;
  return 1;
}

// The next bits of the stream from the read cursor in the low end of `window` (an unaligned load, first
// byte lowest), and how many of them may be used within the budget: none where fewer than 8 bytes are
// left in the buffer, and always none on a big-endian machine.
unsigned LumoDecoder::peekWindow(uint64_t& window) {
  window = 0;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
  return 0;
#endif
  unsigned char* p = readBytePtr;
  unsigned pos = readBitPos;
  if (pos == 8) {
    p++;
    pos = 0;
  }
  if (readEnd - p < 8) return 0;
  std::memcpy(&window, p, sizeof window);
  window >>= pos;
  unsigned limit = 64 - pos;
  return bitBudget < limit ? bitBudget : limit;
}

// Moves the cursor `n` bits on within the current buffer (n at most what peekWindow allowed), leaving it
// where the bit-by-bit reader would: on the last byte with bit position 8 after a byte boundary.
void LumoDecoder::skipBits(unsigned n) {
  unsigned char* p = readBytePtr;
  unsigned pos = readBitPos;
  if (pos == 8) {
    p++;
    pos = 0;
  }
  unsigned end = pos + n;
  if (end % 8 == 0) {
    readBytePtr = p + end / 8 - 1;
    readBitPos = 8;
  } else {
    readBytePtr = p + end / 8;
    readBitPos = static_cast<unsigned char>(end % 8);
  }
  bitBudget -= n;
}

bool LumoDecoder::requireBits(uint64_t rest) {
  if (rest <= bitBudget) return true;
  uint64_t need = uint64_t(packetBudget - bitBudget) + rest;
  packetNeed = need > UINT32_MAX ? UINT32_MAX : uint32_t(need);
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Packet dispatch.

void LumoDecoder::decodeBitstream() { decodeBitstream(0xFFFFFFFFu); }

// A packet that failed for want of bits is not tried again before more bits than it had are held (or the
// more it announced it needs): without this, a big packet fed in small pieces would be re-read from its
// tag on every call.
void LumoDecoder::decodeBitstream(unsigned int budget) {
  if (!firstBitstream) return;
  uint32_t heldBack = 0;
  bitBudget = noBits;
  if (budget < noBits) {
    bitBudget = budget;
    heldBack = noBits - budget;
  }
  for (;;) {
    packetBudget = bitBudget;
    if (packetBudget < packetNeed) return;
    if (!dispatchPacket()) {
      if (firstBitstream && packetNeed <= packetBudget) packetNeed = packetBudget + 1;
      return;
    }
    if (!firstBitstream) return;
    commitPacket(heldBack);
  }
}

void LumoDecoder::rewindToCommitted() {
  readBitstream = firstBitstream;
  readBytePtr = bytePtr;
  readBitPos = bitPos;
  readEnd = firstBitstream->data + firstBitstream->length;
  bitBudget = packetBudget;
}

int LumoDecoder::matchTag(LumoPacket packet) {
  rewindToCommitted();
  unsigned int value;
  return decodeBit(value, static_cast<char>(lumoPacketTag[2 * packet + 1])) &&
         value == lumoPacketTag[2 * packet];
}

// Returns 1 when a packet was decoded and may be committed, 0 when decoding stops here: the packet is
// incomplete, it damaged the stream, or it was the end tag.
int LumoDecoder::dispatchPacket() {
  static const LumoPacket order[] = {lumoVertexPacket, lumoTrianglePacket, lumoMultiTrianglePacket,
                                     lumoExtendedPacket, lumoHeaderPacket};
  for (LumoPacket packet : order)
    if (matchTag(packet)) return callPacketDecoder(packet);
  if (matchTag(lumoEndTag)) {
    finishAtEndTag();
    return 0;
  }
  rewindToCommitted();
  return 0;
}

int LumoDecoder::callPacketDecoder(LumoPacket packet) {
  switch (packet) {
    case lumoVertexPacket:
      return decodeVertexPacket();
    case lumoTrianglePacket:
      return decodeTrianglePacket();
    case lumoMultiTrianglePacket:
      return decodeMultiTrianglePacket();
    case lumoExtendedPacket:
      return decodeExtendedPacket();
    case lumoHeaderPacket:
      return decodeHeaderPacket();
    default:
      return 0;
  }
}

void LumoDecoder::commitPacket(uint32_t heldBack) {
  while (firstBitstream != readBitstream) {
    LumoBitstream* next = firstBitstream->next;
    delete[] firstBitstream->data;
    delete firstBitstream;
    firstBitstream = next;
  }
  bytePtr = readBytePtr;
  bitPos = readBitPos;
  noBits = bitBudget + heldBack;
  packetNeed = 0;
}

void LumoDecoder::finishAtEndTag() {
  if (parentCluster) makeLastParentClusterAvailable();
  deleteBitstream(firstBitstream);
  firstBitstream = lastBitstream = nullptr;
  bytePtr = nullptr;
  bitPos = 0;
  noBits = 0;
  ended = 1;
}

// ---------------------------------------------------------------------------------------------------
// Header packet.

static int decodeHeaderCounts(LumoDecoder& d, LumoHeaderCounts& h) {
  h.height = 0;
  if (!d.decodeBit(h.clusters, 32) || !d.decodeBit(h.vertices, 32) || !d.decodeBit(h.triangles, 32) ||
      !d.decodeBit(h.colorBinding, 2) || !d.decodeBit(h.normals, 1) || !d.decodeBit(h.width, 32))
    return 0;
  if (h.width != 0 && !d.decodeBit(h.height, 32)) return 0;
  // Binding 3 is undefined and means no colour; the record only ever holds 0, 1 or 2.
  if (h.colorBinding == 3) h.colorBinding = 0;
  return 1;
}

static void allocateMesh(LumoBrep& brep, const LumoHeaderCounts& h) {
  brep = LumoBrep();
  brep.colorBinding = int32_t(h.colorBinding);
  brep.hasNormals = uint8_t(h.normals);
  brep.hasTexture = h.width != 0;
  brep.imageWidth = h.width;
  brep.imageHeight = h.height;
  if (brep.hasTexture) {
    brep.image = new unsigned char[size_t(h.width) * h.height * 3];
    brep.texCoords = new float[size_t(h.triangles) * 6];
  }
  if (h.colorBinding == 1) brep.colors = new float[3];
  if (h.colorBinding == 2) brep.colors = new float[size_t(h.vertices) * 3];
  if (h.normals) brep.normals = new float[size_t(h.vertices) * 3];
  brep.vertices = new float[size_t(h.vertices) * 3];
  brep.triangles = new int32_t[size_t(h.triangles) * 4];
}

// Rows top to bottom, columns left to right, three bytes per pixel.
static int decodeImage(LumoDecoder& d, LumoBrep& brep) {
  size_t bytes = size_t(brep.imageWidth) * brep.imageHeight * 3;
  for (size_t i = 0; i < bytes; i++) {
    unsigned int value;
    if (!d.decodeBit(value, 8)) return 0;
    brep.image[i] = static_cast<unsigned char>(value);
  }
  return 1;
}

// The whole header is known to be held before anything is allocated, so the arrays are allocated once
// however slowly a large image arrives; the reads after the allocation cannot run out of bits.
int LumoDecoder::decodeHeaderPacket() {
  if (headerDecoded) {
    markDamaged();
    return 0;
  }
  LumoHeaderCounts h;
  if (!decodeHeaderCounts(*this, h)) return 0;
  uint64_t bodyBits = headerBodyBits(h);
  uint64_t headerBits = uint64_t(packetBudget - bitBudget) + bodyBits;
  uint64_t arrayBytes = headerArrayBytes(h);
  if (arrayBytes == noSize || arrayBytes > memoryLimit || bodyBits == noSize || headerBits > UINT32_MAX) {
    markDamaged();
    return 0;
  }
  if (!requireBits(bodyBits)) return 0;
  allocateMesh(brep, h);
  if (!decodeImage(*this, brep) || (h.colorBinding == 1 && (!decodeFloat32(brep.colors[0]) ||
                                                            !decodeFloat32(brep.colors[1]) ||
                                                            !decodeFloat32(brep.colors[2])))) {
    brep.deleteLists();
    brep = LumoBrep();
    return 0;
  }
  levelClusters = new LumoDecoderCluster*[h.clusters];
  maxNoLevels = h.clusters;
  maxNoVertices = h.vertices;
  maxNoTriangles = h.triangles;
  brepBorrowed = 0;
  headerDecoded = 1;
  return 1;
}

// ---------------------------------------------------------------------------------------------------
// Vertex packet.

int LumoDecoder::decodeVertexFields(uint32_t v) {
  float* p = brep.vertices + size_t(v) * 3;
  if (!decodeFloat32(p[0]) || !decodeFloat32(p[1]) || !decodeFloat32(p[2])) return 0;
  if (brep.colorBinding == 2) {
    float* c = brep.colors + size_t(v) * 3;
    if (!decodeFloat32(c[0]) || !decodeFloat32(c[1]) || !decodeFloat32(c[2])) return 0;
  }
  if (brep.hasNormals) {
    float* n = brep.normals + size_t(v) * 3;
    if (!decodeFloat32(n[0]) || !decodeFloat32(n[1]) || !decodeFloat32(n[2])) return 0;
  }
  return 1;
}

// One bit per entry of the parent's list, in list order. The list may be long, so the packet first
// makes sure that all its bits are held.
int LumoDecoder::decodeSideBits(LumoDecoderCluster* parent) {
  if (!requireBits(countCorners(parent->corners))) return 0;
  for (LumoDecoderCorner* c = parent->corners; c; c = c->next) {
    unsigned int bit;
    if (!decodeBit(bit, 1)) return 0;
    c->side = static_cast<uint8_t>(bit);
  }
  return 1;
}

// The walk hands each entry to the front of its child's list, so each child's list runs in the reverse
// of the walk; the parent keeps the side-1 entries in their old order, which are exactly the corners
// that applying or taking back this split moves. A side-0 record is moved rather than copied.
void LumoDecoder::splitCluster(LumoDecoderCluster* parent, uint32_t v) {
  LumoDecoderCluster* first = newCluster(parent->vertex);
  LumoDecoderCluster* second = newCluster(v);
  LumoDecoderCorner** link = &parent->corners;
  while (LumoDecoderCorner* c = *link) {
    if (c->side) {
      second->corners = new LumoDecoderCorner{c->triangle, c->corner, 0, second->corners};
      link = &c->next;
    } else {
      *link = c->next;
      c->next = first->corners;
      first->corners = c;
    }
  }
  parent->firstChild = first;
  parent->secondChild = second;
  brep.noVertices = v + 1;
  parent->size = distanceInVD(brep.vertices + size_t(parent->vertex) * 3, brep.vertices + size_t(v) * 3);
  parentNoTriangles = 0;
  parentCluster = parent;
}

// The checks need no bits, so a packet that breaks the stream is refused before it changes anything,
// the completion of the pending split included. v is also the number of splits once this one is in.
int LumoDecoder::decodeVertexPacket() {
  uint32_t v = brep.noVertices;
  if (!headerDecoded || v >= maxNoVertices || (clusterTree && v > maxNoLevels)) {
    markDamaged();
    return 0;
  }
  if (parentCluster) makeLastParentClusterAvailable();
  if (!decodeVertexFields(v)) return 0;
  if (!clusterTree) {
    clusterTree = newCluster(v);
    brep.noVertices = v + 1;
    return 1;
  }
  LumoDecoderCluster* parent;
  if (!decodeClusterId(parent) || !decodeSideBits(parent)) return 0;
  splitCluster(parent, v);
  return 1;
}

// ---------------------------------------------------------------------------------------------------
// Triangle packets and the reserved tags.

// A triangle belongs to the pending split; without one (before the header, or before the first split)
// the packet breaks the stream, as does one triangle more than the header announced.
int LumoDecoder::decodeTrianglePacket() {
  if (!parentCluster || noDecodedTriangles >= maxNoTriangles) {
    markDamaged();
    return 0;
  }
  LumoDecoderCluster* third;
  unsigned int orientation;
  if (!decodeClusterId(third) || !decodeBit(orientation, 1)) return 0;
  uint32_t i = noDecodedTriangles;
  if (brep.hasTexture) {
    float* uv = brep.texCoords + size_t(i) * 6;
    for (int k = 0; k < 6; k++)
      if (!decodeFloat32(uv[k])) return 0;
  }
  uint8_t a = orientation ? 1 : 2;
  uint8_t b = orientation ? 2 : 1;
  LumoDecoderCluster* first = parentCluster->firstChild;
  LumoDecoderCluster* second = parentCluster->secondChild;
  // This order decides the lists' order when the third corner's cluster is one of the two children.
  third->corners = new LumoDecoderCorner{i, 0, 0, third->corners};
  first->corners = new LumoDecoderCorner{i, a, 0, first->corners};
  second->corners = new LumoDecoderCorner{i, b, 0, second->corners};
  int32_t* slot = brep.triangles + size_t(i) * 4;
  slot[0] = int32_t(third->vertex);
  slot[a] = int32_t(parentCluster->vertex);
  slot[b] = int32_t(second->vertex);
  noDecodedTriangles = i + 1;
  parentNoTriangles++;
  return 1;
}

int LumoDecoder::decodeMultiTrianglePacket() { return 1; }

int LumoDecoder::decodeExtendedPacket() {
  std::puts("error: extended packet");
  std::exit(1);
}

// Runs when the next vertex packet begins or at the end tag, so the available triangles lag one split
// behind the decoded ones while a stream is arriving.
void LumoDecoder::makeLastParentClusterAvailable() {
  if (!parentCluster || noLevels >= maxNoLevels) return;
  availableNoTriangles += parentNoTriangles;
  parentCluster->totalNoTriangles = availableNoTriangles;
  levelClusters[noLevels] = parentCluster;
  noLevels++;
  parentCluster = nullptr;
  update();
}

// The decoder: it takes a stream in buffers as they arrive, decodes whole packets under a bit budget into
// a cluster tree, a level array and a triangle table, and shows the mesh at a requested triangle count or
// minimum cluster size. A stream is untrusted input: packets that break the stream's order or announce
// more than the header did mark the stream damaged, and decoding stops there.
//
// LumoDecoder.cpp holds the object, the buffer intake, the bit reader, the packet dispatcher and the
// packet decoders; LumoDecoderLevels.cpp holds the level-of-detail control.
#pragma once

#include <cstdint>

#include "Lumo.h"

typedef LumoCorner LumoDecoderCorner;

// A node of the decoded cluster tree; a leaf exactly when secondChild is null.
struct LumoDecoderCluster {
  uint32_t vertex;
  float size;
  LumoDecoderCorner* corners;
  LumoDecoderCluster* firstChild;
  LumoDecoderCluster* secondChild;
  uint32_t totalNoTriangles;

  // Frees the corner list and the whole subtree (without recursion: a stream may build a deep tree).
  ~LumoDecoderCluster();
};

class LumoDecoder {
 public:
  // Held input and the committed position.
  LumoBitstream* lastBitstream;
  LumoBitstream* firstBitstream;
  unsigned char* bytePtr;
  unsigned char bitPos;
  uint32_t noBits;
  // Read cursor, meaningful inside decodeBitstream only.
  LumoBitstream* readBitstream;
  unsigned char* readEnd;
  unsigned char* readBytePtr;
  unsigned char readBitPos;
  uint32_t bitBudget;
  // Cluster tree and levels.
  LumoDecoderCluster* clusterTree;
  LumoDecoderCluster* parentCluster;
  uint32_t parentNoTriangles;
  LumoDecoderCluster** levelClusters;
  uint32_t level;
  uint32_t noLevels;
  uint8_t brepBorrowed;
  LumoBrep brep;
  uint32_t noDecodedTriangles;
  // Level of detail.
  float minParentClusterSize;
  uint32_t requestedNoTriangles;
  uint32_t availableNoTriangles;
  uint32_t maxNoTriangles;
  // Untrusted input.
  uint8_t headerDecoded;
  uint8_t damaged;
  uint8_t ended;            // end tag met (or tree handed over): later input is dropped until reset()
  uint32_t maxNoLevels;     // the header's cluster count: room of the level array
  uint32_t maxNoVertices;   // the header's vertex count: room of the vertex arrays
  uint64_t memoryLimit;     // largest total of arrays a header may ask for, in bytes
  // Retry bookkeeping of the packet at the committed position.
  uint32_t packetBudget;    // bits the read cursor could consume when the packet's tag was read
  uint32_t packetNeed;      // fewer bits than this cannot decode that packet; 0 when nothing is known

  static const uint64_t defaultMemoryLimit = uint64_t(4) << 30;

  LumoDecoder();
  virtual ~LumoDecoder();
  LumoDecoder(const LumoDecoder&) = delete;
  LumoDecoder& operator=(const LumoDecoder&) = delete;

  void reset();
  virtual void reset(LumoBrep& brep, LumoDecoderCluster* root, LumoDecoderCluster** levels,
                     unsigned int count);

  void addBitstream(LumoBitstream* bitstream);
  void decodeBitstream();
  void decodeBitstream(unsigned int budget);

  int decodeBit(unsigned int& value, char width);
  int decodeFloat32(float& f);
  int decodeClusterId(LumoDecoderCluster*& cluster);

  virtual int decodeHeaderPacket();
  virtual int decodeVertexPacket();
  virtual int decodeTrianglePacket();
  virtual int decodeMultiTrianglePacket();
  virtual int decodeExtendedPacket();
  void makeLastParentClusterAvailable();
  virtual void update();

  LumoDecoderCluster* getClusterTree() { return clusterTree; }
  LumoBrep* getBrep() { return &brep; }

  unsigned int getMaxNoTriangles() const { return maxNoTriangles; }
  unsigned int getAvailableNoTriangles() const { return availableNoTriangles; }
  unsigned int setAvailableNoTriangles();
  unsigned int setNoTriangles(unsigned int n);
  unsigned int changeNoTriangles(unsigned int delta);
  unsigned int getNoTriangles() const { return requestedNoTriangles; }
  void setMinParentClusterSize(float size);
  float getMinParentClusterSize() const { return minParentClusterSize; }

  // Untrusted input: whether decoding stopped at a packet that broke the stream, and the memory limit
  // for the arrays a header announces (checked before anything is allocated).
  bool isDamaged() const { return damaged != 0; }
  void setMemoryLimit(uint64_t bytes) { memoryLimit = bytes; }
  uint64_t getMemoryLimit() const { return memoryLimit; }

  // Stops decoding for good: frees the held input and drops all later input until reset(). What was
  // decoded before stays as it is. Packet decoders call it for a packet that breaks the stream.
  void markDamaged();

 protected:
  // Word-at-a-time reading inside one buffer: readFast takes an n-bit field (1 to 32, within the
  // budget) when the buffer holds 8 more bytes; peekWindow loads the next bits; skipBits consumes them.
  bool readFast(unsigned int& value, unsigned n);
  unsigned peekWindow(uint64_t& window);
  void skipBits(unsigned n);
  // Read-cursor helpers of the dispatcher.
  void rewindToCommitted();
  int matchTag(LumoPacket packet);
  int dispatchPacket();
  int callPacketDecoder(LumoPacket packet);
  void commitPacket(uint32_t heldBack);
  void finishAtEndTag();
  // Whether the bits still wanted by the packet being read, `rest` beyond the cursor, fit the budget;
  // if not, remembers what the packet needs so that it is not tried again before that many bits are held.
  bool requireBits(uint64_t rest);
  // Packet-decoding steps.
  int decodeVertexFields(uint32_t v);
  int decodeSideBits(LumoDecoderCluster* parent);
  void splitCluster(LumoDecoderCluster* parent, uint32_t v);
  // Level-of-detail steps.
  void applyNextSplit();
  void takeBackTopSplit();
  void updateCountMode();
  void updateSizeMode();
  void setShownCount();
};

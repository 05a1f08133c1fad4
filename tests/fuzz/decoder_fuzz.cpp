// libFuzzer target of the decoder. An input is an 8-byte schedule followed by stream bytes: the schedule
// seeds a small generator that decides how the bytes are cut into buffers (empty ones included), which
// bit budget each decoding call gets, and which level-of-detail request comes in between, so that a
// mutated stream keeps its schedule and a mutated schedule keeps its stream. After every step the
// decoder's model must be consistent; an inconsistency aborts like a crash.
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "LumoDecoder.h"

namespace {

// The base decoder ends the process at an extended packet; here it is taken as a packet without body.
class FuzzDecoder : public LumoDecoder {
 public:
  int decodeExtendedPacket() override { return 1; }
};

struct Schedule {
  uint64_t state;
  uint32_t next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return uint32_t((state * 0x2545F4914F6CDD1Dull) >> 32);
  }
};

void require(bool condition) {
  if (!condition) std::abort();
}

// Shown triangles are a prefix of the decoded ones, name decoded vertices, and match the top level.
void checkConsistent(const LumoDecoder& d) {
  require(d.level <= d.noLevels);
  require(d.noLevels <= d.maxNoLevels);
  require(d.brep.noVertices <= d.maxNoVertices);
  require(d.noDecodedTriangles <= d.maxNoTriangles);
  require(d.availableNoTriangles <= d.noDecodedTriangles);
  require(d.brep.noTriangles == (d.level ? d.levelClusters[d.level - 1]->totalNoTriangles : 0));
  require(d.brep.noTriangles <= d.availableNoTriangles);
  for (uint32_t t = 0; t < d.brep.noTriangles; t++)
    for (int c = 0; c < 3; c++) require(uint32_t(d.brep.triangles[4 * t + c]) < d.brep.noVertices);
  uint64_t held = 0;
  for (const LumoBitstream* b = d.firstBitstream; b; b = b->next) held += uint64_t(b->length) * 8;
  if (d.firstBitstream) held -= uint64_t(d.bitPos) + 8 * uint64_t(d.bytePtr - d.firstBitstream->data);
  require(held == d.noBits);
}

void changeLevel(FuzzDecoder& d, Schedule& s) {
  uint32_t r = s.next();
  switch (r % 8) {
    case 0:
      d.setNoTriangles(s.next() % (d.getAvailableNoTriangles() + 2));
      break;
    case 1:
      d.changeNoTriangles(s.next());
      break;
    case 2: {
      uint32_t pattern = s.next();
      float size;
      std::memcpy(&size, &pattern, sizeof size);
      d.setMinParentClusterSize(r & 8 ? size : float(pattern % 16));
      break;
    }
    case 3:
      d.setAvailableNoTriangles();
      break;
    case 4:
      d.setNoTriangles(0);
      break;
    default:
      break;
  }
}

void decode(FuzzDecoder& d, Schedule& s) {
  uint32_t r = s.next();
  switch (r % 4) {
    case 0:
      d.decodeBitstream();
      break;
    case 1:
      d.decodeBitstream(s.next() % 4096);
      break;
    case 2:
      d.decodeBitstream(s.next() % 200);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Schedule s{0x9E3779B97F4A7C15ull};
  if (size >= 8) {
    uint64_t seed;
    std::memcpy(&seed, data, 8);
    s.state ^= seed;
    data += 8;
    size -= 8;
  }
  if (s.state == 0) s.state = 1;
  FuzzDecoder d;
  d.setMemoryLimit(uint64_t(64) << 20);
  static const size_t pieceSizes[] = {0, 1, 2, 3, 7, 64, 1024, SIZE_MAX};
  size_t at = 0;
  for (size_t step = 0; at < size && step < 4 * size + 64; step++) {
    size_t n = pieceSizes[s.next() % 8];
    if (n > size - at) n = size - at;
    LumoBitstream* b = new LumoBitstream{nullptr, uint32_t(n), new unsigned char[n ? n : 1]};
    if (n) std::memcpy(b->data, data + at, n);
    at += n;
    d.addBitstream(b);
    decode(d, s);
    changeLevel(d, s);
    checkConsistent(d);
  }
  d.decodeBitstream();
  checkConsistent(d);
  d.setMinParentClusterSize(0.0f);
  d.setAvailableNoTriangles();
  checkConsistent(d);
  require(d.level == d.noLevels);
  d.setNoTriangles(0);
  checkConsistent(d);
  return 0;
}

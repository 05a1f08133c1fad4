// Test helper of the decoder tests: a bit writer for hand-made streams, and a stream model that writes a
// valid stream split by split while keeping its own copy of the tree and corner-list bookkeeping, so that
// it can say, independently of the decoder, which vertex every corner shows at every level. Also: buffer
// chains cut from a byte string, and a structural comparison of two decoders.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "LumoDecoder.h"

namespace streams {

// Fields least significant bit first, no alignment.
struct BitWriter {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;

  void put(uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; i++) {
      if (bits % 8 == 0) bytes.push_back(0);
      bytes.back() |= uint8_t(((value >> i) & 1u) << (bits % 8));
      bits++;
    }
  }
  void putFloat(float f) {
    uint32_t pattern;
    std::memcpy(&pattern, &f, 4);
    put(pattern >> 8, 24);
  }
  void tag(LumoPacket packet) { put(lumoPacketTag[2 * packet], lumoPacketTag[2 * packet + 1]); }
  void append(const BitWriter& other) {
    for (uint64_t i = 0; i < other.bits; i++) put((other.bytes[i / 8] >> (i % 8)) & 1u, 1);
  }
};

// The float as the stream carries it.
inline float truncated(float f) {
  uint32_t pattern;
  std::memcpy(&pattern, &f, 4);
  pattern &= 0xFFFFFF00u;
  std::memcpy(&f, &pattern, 4);
  return f;
}

struct Header {
  uint32_t clusters = 0, vertices = 0, triangles = 0;
  uint32_t colorBinding = 0, normals = 0, width = 0, height = 0;
  std::vector<uint8_t> image;
  float colour[3] = {0.25f, 0.5f, 0.75f};
};

inline void PrintTo(const Header& h, std::ostream* out) {
  *out << "header: binding " << h.colorBinding << ", normals " << h.normals << ", image " << h.width << "x"
       << h.height;
}

inline void writeHeader(BitWriter& w, const Header& h) {
  w.tag(lumoHeaderPacket);
  w.put(h.clusters, 32);
  w.put(h.vertices, 32);
  w.put(h.triangles, 32);
  w.put(h.colorBinding, 2);
  w.put(h.normals, 1);
  w.put(h.width, 32);
  if (h.width != 0) {
    w.put(h.height, 32);
    for (uint8_t b : h.image) w.put(b, 8);
  }
  if (h.colorBinding == 1)
    for (float c : h.colour) w.putFloat(c);
}

struct Vec3 {
  float v[3];
};

// The model of a stream: nodes of the cluster tree with their corner lists (front = index 0), and for
// every corner the history of clusters that held it, tagged with the split after which it held it.
class StreamModel {
 public:
  struct Corner {
    uint32_t triangle;
    uint8_t corner;
  };
  struct Node {
    int parent = -1;
    bool isSecond = false;
    int first = -1, second = -1;
    uint32_t vertex = 0;
    std::deque<Corner> corners;
  };

  Header header;             // flags the body follows; counts are filled in by finish() unless given
  bool keepCounts = false;   // write the header's counts as given (for lying headers)
  BitWriter body;
  std::vector<Node> nodes;
  std::vector<Vec3> positions, colours, normals;
  std::vector<std::vector<float>> texCoords;          // per triangle, six floats
  std::vector<std::vector<std::pair<int, int>>> history;  // per corner 3t+c: (split, node)
  std::vector<int> splitNodes;                        // level array: node split by split k+1
  std::vector<uint32_t> totals;                       // totalNoTriangles per split
  std::vector<float> sizes;
  std::vector<uint64_t> vertexStarts;                 // stream bit of every vertex packet's tag
  uint64_t headerBits = 0;                            // known once finish() has run
  uint32_t noTriangles = 0;
  std::mt19937 random{1};

  explicit StreamModel(const Header& h = Header()) : header(h) {}

  bool textured() const { return header.width != 0; }

  void vertexFields(const Vec3& p) {
    Vec3 tp{{truncated(p.v[0]), truncated(p.v[1]), truncated(p.v[2])}};
    positions.push_back(tp);
    for (float f : p.v) body.putFloat(f);
    Vec3 c{{float(random() % 256) / 255.0f, 0.5f, float(positions.size() % 7) / 7.0f}};
    Vec3 n{{0.0f, float(random() % 100) / 100.0f, -1.0f}};
    if (header.colorBinding == 2) {
      for (float f : c.v) body.putFloat(f);
      colours.push_back({{truncated(c.v[0]), truncated(c.v[1]), truncated(c.v[2])}});
    }
    if (header.normals) {
      for (float f : n.v) body.putFloat(f);
      normals.push_back({{truncated(n.v[0]), truncated(n.v[1]), truncated(n.v[2])}});
    }
  }

  int root(const Vec3& p) {
    vertexStarts.push_back(body.bits);
    body.tag(lumoVertexPacket);
    vertexFields(p);
    nodes.push_back(Node());
    return 0;
  }

  void path(int node) {
    std::vector<int> bitsUp;
    for (int n = node; nodes[n].parent >= 0; n = nodes[n].parent) bitsUp.push_back(nodes[n].isSecond);
    for (size_t i = bitsUp.size(); i-- > 0;) body.put(uint32_t(bitsUp[i]), 1);
  }

  // Splits leaf `leaf`; side(i) gives the bit of the i-th list entry. Returns the split's index (from 1).
  template <typename Side>
  int split(int leaf, const Vec3& p, Side side) {
    vertexStarts.push_back(body.bits);
    body.tag(lumoVertexPacket);
    vertexFields(p);
    uint32_t v = uint32_t(positions.size() - 1);
    path(leaf);
    int k = int(splitNodes.size()) + 1;
    int first = int(nodes.size()), second = first + 1;
    Node a, b;
    a.parent = b.parent = leaf;
    b.isSecond = true;
    a.vertex = nodes[leaf].vertex;
    b.vertex = v;
    nodes.push_back(a);
    nodes.push_back(b);
    nodes[leaf].first = first;
    nodes[leaf].second = second;
    std::deque<Corner> kept;
    size_t i = 0;
    for (const Corner& c : nodes[leaf].corners) {
      uint32_t bit = side(i++) ? 1 : 0;
      body.put(bit, 1);
      nodes[bit ? second : first].corners.push_front(c);
      history[3 * c.triangle + c.corner].push_back({k, bit ? second : first});
      if (bit) kept.push_back(c);
    }
    nodes[leaf].corners = kept;
    const float* pp = positions[nodes[leaf].vertex].v;
    const float* pv = positions[v].v;
    float d[3] = {pp[0] - pv[0], pp[1] - pv[1], pp[2] - pv[2]};
    sizes.push_back(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
    splitNodes.push_back(leaf);
    totals.push_back(totals.empty() ? 0 : totals.back());
    return k;
  }
  int split(int leaf, const Vec3& p) {
    return split(leaf, p, [this](size_t) { return random() % 2; });
  }

  // A triangle of the latest split with its third corner in leaf `third`.
  void triangle(int third, int orientation) {
    int parent = splitNodes.back();
    int k = int(splitNodes.size());
    body.tag(lumoTrianglePacket);
    path(third);
    body.put(uint32_t(orientation), 1);
    std::vector<float> uv;
    if (textured()) {
      for (int i = 0; i < 6; i++) {
        float f = float(noTriangles * 6 + i) / 64.0f + 0.001f;
        body.putFloat(f);
        uv.push_back(truncated(f));
      }
    }
    texCoords.push_back(uv);
    uint32_t t = noTriangles++;
    uint8_t a = orientation ? 1 : 2, b = orientation ? 2 : 1;
    int first = nodes[parent].first, second = nodes[parent].second;
    history.resize(3 * noTriangles);
    nodes[third].corners.push_front({t, 0});
    history[3 * t + 0].push_back({k, third});
    nodes[first].corners.push_front({t, a});
    history[3 * t + a].push_back({k, first});
    nodes[second].corners.push_front({t, b});
    history[3 * t + b].push_back({k, second});
    totals.back()++;
  }

  std::vector<int> leaves() const {
    std::vector<int> out;
    for (size_t i = 0; i < nodes.size(); i++)
      if (nodes[i].second < 0) out.push_back(int(i));
    return out;
  }

  // The vertex each corner of the first totals[level-1] triangles shows with `level` splits applied.
  std::vector<int32_t> tableAt(uint32_t level) const {
    uint32_t shown = level ? totals[level - 1] : 0;
    std::vector<int32_t> table;
    for (uint32_t t = 0; t < shown; t++) {
      for (int c = 0; c < 3; c++) {
        int node = -1;
        for (auto& h : history[3 * t + c])
          if (uint32_t(h.first) <= level) node = h.second;
        table.push_back(int32_t(nodes[node].vertex));
      }
    }
    return table;
  }

  // The whole stream: header with the true counts (unless kept), body, end tag.
  std::vector<uint8_t> finish(bool endTag = true) {
    Header h = header;
    if (!keepCounts) {
      h.vertices = uint32_t(positions.size());
      h.triangles = noTriangles;
      h.clusters = uint32_t(positions.size() + splitNodes.size());
    }
    BitWriter w;
    writeHeader(w, h);
    headerBits = w.bits;
    w.append(body);
    if (endTag) w.tag(lumoEndTag);
    return w.bytes;
  }
};

// A random valid stream of `splits` splits: a random leaf is split each time, with up to three triangles
// whose third corner lies in a random other leaf.
inline StreamModel randomModel(uint32_t seed, int splits, const Header& flags = Header()) {
  StreamModel m(flags);
  m.random.seed(seed);
  std::uniform_real_distribution<float> coordinate(-10.0f, 10.0f);
  auto point = [&]() { return Vec3{{coordinate(m.random), coordinate(m.random), coordinate(m.random)}}; };
  m.root(point());
  for (int s = 0; s < splits; s++) {
    std::vector<int> leaves = m.leaves();
    int leaf = leaves[m.random() % leaves.size()];
    m.split(leaf, point());
    int parent = m.splitNodes.back();
    std::vector<int> others;
    for (int l : m.leaves())
      if (l != m.nodes[parent].first && l != m.nodes[parent].second) others.push_back(l);
    int count = others.empty() ? 0 : int(m.random() % 4);
    for (int t = 0; t < count; t++) m.triangle(others[m.random() % others.size()], int(m.random() % 2));
  }
  return m;
}

// A chain of buffers of `piece` bytes (the last may be shorter) holding `bytes`.
inline std::vector<LumoBitstream*> pieces(const std::vector<uint8_t>& bytes, size_t piece) {
  std::vector<LumoBitstream*> out;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    size_t n = std::min(piece, bytes.size() - at);
    LumoBitstream* b = new LumoBitstream{nullptr, uint32_t(n), new unsigned char[n]};
    std::memcpy(b->data, bytes.data() + at, n);
    out.push_back(b);
  }
  return out;
}

inline LumoBitstream* buffer(const std::vector<uint8_t>& bytes) {
  LumoBitstream* b = new LumoBitstream{nullptr, uint32_t(bytes.size()), new unsigned char[bytes.size() + 1]};
  if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
  return b;
}

// Hands every buffer of a writer's chain over (the decoder relinks them) and decodes what it holds.
inline void feedChain(LumoDecoder& d, LumoBitstream* chain) {
  while (chain) {
    LumoBitstream* next = chain->next;
    d.addBitstream(chain);
    chain = next;
  }
  d.decodeBitstream();
}

inline void feedWhole(LumoDecoder& d, const std::vector<uint8_t>& bytes) {
  d.addBitstream(buffer(bytes));
  d.decodeBitstream();
}

inline size_t heldBuffers(const LumoDecoder& d) {
  size_t n = 0;
  for (LumoBitstream* b = d.firstBitstream; b; b = b->next) n++;
  return n;
}

// Feeds `bytes` one byte per buffer with a decode after each, checking after every call that each buffer
// before the one holding the committed position has been freed. Returns the number of bytes added before
// the stream ended (the decoder frees everything at the end tag).
inline size_t feedBytewise(LumoDecoder& d, const std::vector<uint8_t>& bytes) {
  size_t added = 0;
  for (LumoBitstream* b : pieces(bytes, 1)) {
    if (!d.firstBitstream && added) {
      deleteBitstream(b);
      continue;
    }
    d.addBitstream(b);
    added++;
    d.decodeBitstream();
    if (!d.firstBitstream) continue;
    uint64_t committed = 8 * added - d.noBits;
    size_t committedByte = committed == 0 ? 0 : size_t((committed - 1) / 8);
    EXPECT_EQ(added - committedByte, heldBuffers(d)) << "after byte " << added;
  }
  return added;
}

// Everything the stream decoded: counts, arrays, level array, and the cluster tree with its corner lists,
// walked without recursion. Entry 3 of the triangle slots is not the base decoder's and is left out.
inline void expectSameDecoding(LumoDecoder& a, LumoDecoder& b) {
  ASSERT_EQ(a.noLevels, b.noLevels);
  ASSERT_EQ(a.noDecodedTriangles, b.noDecodedTriangles);
  ASSERT_EQ(a.brep.noVertices, b.brep.noVertices);
  EXPECT_EQ(a.level, b.level);
  EXPECT_EQ(a.brep.noTriangles, b.brep.noTriangles);
  EXPECT_EQ(a.availableNoTriangles, b.availableNoTriangles);
  EXPECT_EQ(a.maxNoTriangles, b.maxNoTriangles);
  EXPECT_EQ(a.requestedNoTriangles, b.requestedNoTriangles);
  EXPECT_EQ(a.isDamaged(), b.isDamaged());
  ASSERT_EQ(a.brep.colorBinding, b.brep.colorBinding);
  ASSERT_EQ(a.brep.hasNormals, b.brep.hasNormals);
  ASSERT_EQ(a.brep.hasTexture, b.brep.hasTexture);
  uint32_t nv = a.brep.noVertices, nt = a.noDecodedTriangles;
  if (nv) { EXPECT_EQ(0, std::memcmp(a.brep.vertices, b.brep.vertices, nv * 12)); }
  if (nv && a.brep.colorBinding == 2) { EXPECT_EQ(0, std::memcmp(a.brep.colors, b.brep.colors, nv * 12)); }
  if (a.brep.colorBinding == 1) { EXPECT_EQ(0, std::memcmp(a.brep.colors, b.brep.colors, 12)); }
  if (nv && a.brep.hasNormals) { EXPECT_EQ(0, std::memcmp(a.brep.normals, b.brep.normals, nv * 12)); }
  if (a.brep.hasTexture) {
    ASSERT_EQ(a.brep.imageWidth, b.brep.imageWidth);
    ASSERT_EQ(a.brep.imageHeight, b.brep.imageHeight);
    size_t bytes = size_t(a.brep.imageWidth) * a.brep.imageHeight * 3;
    if (bytes) { EXPECT_EQ(0, std::memcmp(a.brep.image, b.brep.image, bytes)); }
    if (nt) { EXPECT_EQ(0, std::memcmp(a.brep.texCoords, b.brep.texCoords, nt * 24)); }
  }
  for (uint32_t t = 0; t < nt; t++)
    for (int c = 0; c < 3; c++)
      ASSERT_EQ(a.brep.triangles[4 * t + c], b.brep.triangles[4 * t + c]) << "slot " << t << " corner " << c;
  for (uint32_t k = 0; k < a.noLevels; k++) {
    EXPECT_EQ(a.levelClusters[k]->vertex, b.levelClusters[k]->vertex);
    EXPECT_EQ(a.levelClusters[k]->totalNoTriangles, b.levelClusters[k]->totalNoTriangles);
  }
  std::vector<std::pair<LumoDecoderCluster*, LumoDecoderCluster*>> pending{{a.clusterTree, b.clusterTree}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    ASSERT_EQ(x == nullptr, y == nullptr);
    if (!x) continue;
    ASSERT_EQ(x->vertex, y->vertex);
    ASSERT_EQ(x->secondChild == nullptr, y->secondChild == nullptr);
    if (x->secondChild) { EXPECT_EQ(x->size, y->size); }
    LumoDecoderCorner *cx = x->corners, *cy = y->corners;
    for (; cx && cy; cx = cx->next, cy = cy->next) {
      ASSERT_EQ(cx->triangle, cy->triangle);
      ASSERT_EQ(cx->corner, cy->corner);
    }
    ASSERT_EQ(cx == nullptr, cy == nullptr);
    pending.push_back({x->firstChild, y->firstChild});
    pending.push_back({x->secondChild, y->secondChild});
  }
}

}  // namespace streams

// Tests of the decoder on hand-made streams: the bit reader, the worked example of the stream layout,
// streams of the stream model fed in every way (one buffer, 1024-byte and one-byte buffers, bit budgets,
// cut short), hostile streams, the hand-off reset and the release of deep trees. Level-of-detail control
// is tested in LumoDecoderLevels_test.cpp, the round trip through the writer in
// LumoDecoderRoundTrip_test.cpp.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <string>
#include <unistd.h>

#include "LumoDecoder.h"
#include "LumoDecoderStreams.h"

using namespace streams;

namespace {

// Places the read cursor on the committed position with every held bit as budget, as the dispatcher does.
void startReading(LumoDecoder& d) {
  d.readBitstream = d.firstBitstream;
  d.readBytePtr = d.bytePtr;
  d.readBitPos = d.bitPos;
  d.readEnd = d.firstBitstream->data + d.firstBitstream->length;
  d.bitBudget = d.noBits;
}

struct Field {
  uint32_t value;
  unsigned width;
};

// Fields of every width, among them a 32-bit field starting at bit 3 and fields ending on byte ends.
const std::vector<Field> fieldTable = {
    {15, 5},          {5, 32},         {1, 1},          {0x5A5A5A5Au, 32}, {0, 3},
    {0xFFFFFFFFu, 32}, {0x7F, 7},       {0xABCDEF, 24},  {1, 1},            {0x3, 2},
    {0x1FFF, 13},     {0x12345678, 31}, {0, 32},         {0xFF, 8},         {0x1, 1},
    {0x2AAAA, 18},    {0x80000000u, 32}, {0x15, 5},       {0xFFFF, 16},      {0x0F0F0F0F, 29},
};

TEST(LumoDecoderBits, FieldsReadBackAcrossBytesAndBuffers) {
  BitWriter w;
  for (const Field& f : fieldTable) w.put(f.value, f.width);
  EXPECT_EQ(0xAF, w.bytes[0]);  // 5-bit 15, then the low three bits of 32-bit 5
  for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(5), size_t(1024)}) {
    SCOPED_TRACE(piece);
    LumoDecoder d;
    d.addBitstream(buffer({}));  // an empty buffer in front is stepped over
    for (LumoBitstream* b : pieces(w.bytes, piece)) {
      d.addBitstream(b);
      d.addBitstream(buffer({}));  // and so are empty buffers between
    }
    startReading(d);
    for (const Field& f : fieldTable) {
      unsigned int value = 0xDEADBEEF;
      ASSERT_EQ(1, d.decodeBit(value, char(f.width)));
      EXPECT_EQ(f.value, value) << "width " << f.width;
    }
    unsigned int rest;
    EXPECT_EQ(0, d.decodeBit(rest, 8)) << "only the fill bits of the last byte remain";
  }
}

TEST(LumoDecoderBits, ReadEndingOnBufferEndWaitsForTheNextBuffer) {
  LumoDecoder d;
  d.addBitstream(buffer({0xC3}));
  startReading(d);
  unsigned int value;
  ASSERT_EQ(1, d.decodeBit(value, 8));
  EXPECT_EQ(0xC3u, value);
  EXPECT_EQ(8, d.readBitPos);
  EXPECT_EQ(d.firstBitstream->data, d.readBytePtr);
  EXPECT_EQ(0, d.decodeBit(value, 1)) << "budget exhausted";
  EXPECT_EQ(8, d.readBitPos) << "a failed read consumes nothing";
  d.addBitstream(buffer({0x02}));
  d.bitBudget += 8;
  ASSERT_EQ(1, d.decodeBit(value, 2));
  EXPECT_EQ(2u, value);
  EXPECT_EQ(d.lastBitstream, d.readBitstream);
  ASSERT_EQ(1, d.decodeBit(value, 0));
  EXPECT_EQ(0u, value);
}

TEST(LumoDecoderBits, FloatsAreTheUpper24BitsOfTheirPattern) {
  const struct {
    float f;
    uint32_t field;
  } cases[] = {{1.0f, 0x3F8000}, {-2.0f, 0xC00000}, {0.1f, 0x3DCCCC}, {0.0f, 0}, {-0.0f, 0x800000}};
  BitWriter w;
  w.put(1, 3);  // floats need not be aligned
  for (auto& c : cases) w.putFloat(c.f);
  BitWriter fields;
  fields.put(1, 3);
  for (auto& c : cases) fields.put(c.field, 24);
  EXPECT_EQ(fields.bytes, w.bytes);
  LumoDecoder d;
  d.addBitstream(buffer(w.bytes));
  startReading(d);
  unsigned int skip;
  d.decodeBit(skip, 3);
  for (auto& c : cases) {
    float f;
    ASSERT_EQ(1, d.decodeFloat32(f));
    uint32_t pattern;
    std::memcpy(&pattern, &f, 4);
    EXPECT_EQ(c.field << 8, pattern);
  }
}

// The worked example of the stream layout: three vertices, two splits, one triangle.
const std::vector<uint8_t> workedExample = {
    0xaf, 0x00, 0x00, 0x00, 0x60, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x81, 0x00, 0x00, 0x7f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0xfe, 0x00, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0x1f};

StreamModel workedExampleModel() {
  StreamModel m;
  m.root({{4, 1, 0}});
  m.split(0, {{0, 0, 1}}, [](size_t) { return 0; });
  m.split(1, {{4, 0, 0}}, [](size_t) { return 0; });
  m.triangle(2, 0);
  return m;
}

bool holds(const LumoDecoderCorner* list, uint32_t triangle, uint8_t corner) {
  return list && list->triangle == triangle && list->corner == corner && !list->next;
}

TEST(LumoDecoderStream, WorkedExample) {
  EXPECT_EQ(workedExample, workedExampleModel().finish()) << "the test's own writer";
  LumoDecoder d;
  feedWhole(d, workedExample);
  EXPECT_FALSE(d.isDamaged());
  EXPECT_EQ(nullptr, d.firstBitstream);
  EXPECT_EQ(0u, d.noBits);
  ASSERT_EQ(3u, d.brep.noVertices);
  const float positions[9] = {4, 1, 0, 0, 0, 1, 4, 0, 0};
  EXPECT_EQ(0, std::memcmp(positions, d.brep.vertices, sizeof positions));
  EXPECT_EQ(1u, d.noDecodedTriangles);
  EXPECT_EQ(1u, d.getMaxNoTriangles());
  EXPECT_EQ(1u, d.getAvailableNoTriangles());
  EXPECT_EQ(0u, d.brep.noTriangles) << "the default size mode shows nothing";
  const int32_t triangle[3] = {1, 2, 0};
  EXPECT_EQ(0, std::memcmp(triangle, d.brep.triangles, sizeof triangle));

  LumoDecoderCluster* root = d.getClusterTree();
  ASSERT_NE(nullptr, root);
  LumoDecoderCluster* pair = root->firstChild;   // {m0, m1}
  LumoDecoderCluster* m2 = root->secondChild;
  ASSERT_TRUE(pair && m2 && pair->secondChild);
  LumoDecoderCluster* m1 = pair->firstChild;
  LumoDecoderCluster* m0 = pair->secondChild;
  EXPECT_EQ(0u, root->vertex);
  EXPECT_EQ(1u, m2->vertex);
  EXPECT_EQ(0u, m1->vertex);
  EXPECT_EQ(2u, m0->vertex);
  EXPECT_EQ(nullptr, m2->secondChild);
  EXPECT_TRUE(holds(m2->corners, 0, 0));
  EXPECT_TRUE(holds(m1->corners, 0, 2));
  EXPECT_TRUE(holds(m0->corners, 0, 1));
  EXPECT_EQ(nullptr, root->corners);
  EXPECT_EQ(nullptr, pair->corners);
  EXPECT_FLOAT_EQ(std::sqrt(18.0f), root->size);
  EXPECT_EQ(1.0f, pair->size);

  ASSERT_EQ(2u, d.noLevels);
  EXPECT_EQ(root, d.levelClusters[0]);
  EXPECT_EQ(pair, d.levelClusters[1]);
  EXPECT_EQ(0u, root->totalNoTriangles);
  EXPECT_EQ(1u, pair->totalNoTriangles);
  EXPECT_EQ(1u, d.setAvailableNoTriangles());
  EXPECT_EQ(1u, d.brep.noTriangles);
  EXPECT_EQ(2u, d.level);
}

// Flag sets of the header: plain, colour per vertex, overall colour, normals, texture with an image,
// texture with height 0, and everything together.
Header flags(uint32_t binding, uint32_t normals, uint32_t width, uint32_t height) {
  Header h;
  h.colorBinding = binding;
  h.normals = normals;
  h.width = width;
  h.height = height;
  for (uint32_t i = 0; i < width * height * 3; i++) h.image.push_back(uint8_t(i * 37 + 5));
  return h;
}

class LumoDecoderFeeding : public ::testing::TestWithParam<Header> {};

INSTANTIATE_TEST_SUITE_P(Flags, LumoDecoderFeeding,
                         ::testing::Values(flags(0, 0, 0, 0), flags(2, 0, 0, 0), flags(1, 0, 0, 0),
                                           flags(0, 1, 0, 0), flags(0, 0, 3, 2), flags(0, 0, 5, 0),
                                           flags(2, 1, 4, 4)),
                         [](const testing::TestParamInfo<Header>& info) {
                           const Header& h = info.param;
                           return "colour" + std::to_string(h.colorBinding) + "_normals" +
                                  std::to_string(h.normals) + "_texture" + std::to_string(h.width) + "x" +
                                  std::to_string(h.height);
                         });

// The stream decodes to what the model says, at every level, and every way of feeding it ends alike.
TEST_P(LumoDecoderFeeding, EveryCutAndBudgetDecodesAlike) {
  StreamModel m = randomModel(7, 300, GetParam());
  std::vector<uint8_t> bytes = m.finish();

  LumoDecoder whole;
  feedWhole(whole, bytes);
  ASSERT_FALSE(whole.isDamaged());
  ASSERT_EQ(300u, whole.noLevels);
  ASSERT_EQ(m.noTriangles, whole.getAvailableNoTriangles());
  for (uint32_t v = 0; v < whole.brep.noVertices; v++) {
    ASSERT_EQ(0, std::memcmp(m.positions[v].v, whole.brep.vertices + 3 * v, 12));
    if (GetParam().colorBinding == 2) { ASSERT_EQ(0, std::memcmp(m.colours[v].v, whole.brep.colors + 3 * v, 12)); }
    if (GetParam().normals) { ASSERT_EQ(0, std::memcmp(m.normals[v].v, whole.brep.normals + 3 * v, 12)); }
  }
  if (GetParam().colorBinding == 1)
    for (int c = 0; c < 3; c++) { EXPECT_EQ(truncated(GetParam().colour[c]), whole.brep.colors[c]); }
  if (GetParam().width) {
    EXPECT_EQ(GetParam().image, std::vector<uint8_t>(whole.brep.image, whole.brep.image + GetParam().image.size()));
    for (uint32_t t = 0; t < m.noTriangles; t++)
      ASSERT_EQ(0, std::memcmp(m.texCoords[t].data(), whole.brep.texCoords + 6 * t, 24));
  }
  for (uint32_t k = 0; k < 300; k++) {
    EXPECT_EQ(m.totals[k], whole.levelClusters[k]->totalNoTriangles);
    EXPECT_EQ(m.sizes[k], whole.levelClusters[k]->size);
  }
  whole.setAvailableNoTriangles();
  std::vector<int32_t> table;
  for (uint32_t t = 0; t < whole.brep.noTriangles; t++)
    for (int c = 0; c < 3; c++) table.push_back(whole.brep.triangles[4 * t + c]);
  EXPECT_EQ(m.tableAt(300), table);

  LumoDecoder kilobytes;
  for (LumoBitstream* b : pieces(bytes, 1024)) {
    kilobytes.addBitstream(b);
    kilobytes.decodeBitstream();
  }
  kilobytes.setAvailableNoTriangles();
  expectSameDecoding(whole, kilobytes);

  // One byte per buffer; every buffer before the one holding the committed position is freed.
  LumoDecoder bytewise;
  EXPECT_EQ(bytes.size(), feedBytewise(bytewise, bytes)) << "the end tag is in the last byte";
  bytewise.setAvailableNoTriangles();
  expectSameDecoding(whole, bytewise);

  // Budgets that end inside packets, zero budgets included, in pieces of 7 bytes.
  LumoDecoder budgeted;
  for (LumoBitstream* b : pieces(bytes, 7)) budgeted.addBitstream(b);
  const unsigned budgets[] = {0, 1, 5, 64, 333, 2000, 90};
  for (int call = 0; budgeted.firstBitstream && call < 100000; call++) {
    uint32_t before = budgeted.noBits;
    budgeted.decodeBitstream(budgets[call % 7]);
    if (budgeted.firstBitstream) { ASSERT_LE(before - budgeted.noBits, budgets[call % 7]); }
  }
  ASSERT_EQ(nullptr, budgeted.firstBitstream);
  budgeted.setAvailableNoTriangles();
  expectSameDecoding(whole, budgeted);
}

// A stream cut anywhere is decoded as far as it goes: split k is available once the tag of the next
// vertex packet is held, and the shown mesh is the model's at that level.
TEST(LumoDecoderStream, CutShortShowsItsCompleteSplits) {
  StreamModel m = randomModel(11, 120, flags(2, 1, 0, 0));
  std::vector<uint8_t> bytes = m.finish();
  for (size_t cut = 0; cut < bytes.size(); cut += 37) {
    SCOPED_TRACE(cut);
    LumoDecoder d;
    for (LumoBitstream* b : pieces(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut), 64)) d.addBitstream(b);
    d.decodeBitstream();
    EXPECT_FALSE(d.isDamaged());
    uint32_t complete = 0;
    for (size_t k = 2; k < m.vertexStarts.size(); k++)
      if (m.headerBits + m.vertexStarts[k] < 8 * cut) complete = uint32_t(k - 1);
    ASSERT_EQ(complete, d.noLevels);
    d.setMinParentClusterSize(0);  // shows every level also when none has triangles (size mode)
    d.setAvailableNoTriangles();
    ASSERT_EQ(complete, d.level);
    EXPECT_EQ(complete ? m.totals[complete - 1] : 0, d.brep.noTriangles);
    std::vector<int32_t> table;
    for (uint32_t t = 0; t < d.brep.noTriangles; t++)
      for (int c = 0; c < 3; c++) table.push_back(d.brep.triangles[4 * t + c]);
    EXPECT_EQ(m.tableAt(complete), table);
    // The rest arrives: the result is the whole stream's.
    d.addBitstream(buffer(std::vector<uint8_t>(bytes.begin() + cut, bytes.end())));
    d.decodeBitstream();
    EXPECT_EQ(120u, d.noLevels);
    EXPECT_EQ(nullptr, d.firstBitstream);
  }
}

// Packets that the writer never makes but a reader accepts, and input the reader must not read.
TEST(LumoDecoderStream, ReservedTagsEmptyBuffersAndTrailingBytes) {
  StreamModel plain = randomModel(3, 40);
  std::vector<uint8_t> bytes = plain.finish();
  LumoDecoder reference;
  feedWhole(reference, bytes);

  // Multi-triangle packets (3 bits, no body) anywhere between packets change nothing.
  StreamModel multi;
  multi.keepCounts = true;
  multi.header.vertices = uint32_t(plain.positions.size());
  multi.header.clusters = uint32_t(plain.positions.size() + plain.splitNodes.size());
  multi.header.triangles = plain.noTriangles;
  multi.body.tag(lumoMultiTrianglePacket);
  multi.body.append(plain.body);
  multi.body.tag(lumoMultiTrianglePacket);
  LumoDecoder withMulti;
  feedWhole(withMulti, multi.finish());
  expectSameDecoding(reference, withMulti);

  // Empty buffers anywhere, garbage after the end tag, and buffers after the end are never read.
  LumoDecoder padded;
  padded.addBitstream(buffer({}));
  for (LumoBitstream* b : pieces(bytes, 100)) {
    padded.addBitstream(b);
    padded.addBitstream(buffer({}));
  }
  padded.addBitstream(buffer({0xFF, 0xF0, 0x00}));
  padded.decodeBitstream();
  EXPECT_EQ(nullptr, padded.firstBitstream);
  EXPECT_EQ(0u, padded.noBits);
  padded.addBitstream(buffer(bytes));
  padded.decodeBitstream();
  EXPECT_EQ(nullptr, padded.firstBitstream);
  expectSameDecoding(reference, padded);
  EXPECT_FALSE(padded.isDamaged());

  LumoDecoder empty;
  empty.addBitstream(buffer({}));
  empty.decodeBitstream();
  EXPECT_EQ(0u, empty.brep.noVertices);
  EXPECT_EQ(nullptr, empty.brep.vertices);
  EXPECT_NE(nullptr, empty.firstBitstream) << "nothing to decode yet, nothing dropped";
}

TEST(LumoDecoderStream, ZeroBudgetAndNoInputChangeNothing) {
  LumoDecoder d;
  d.decodeBitstream();
  d.decodeBitstream(0);
  EXPECT_EQ(nullptr, d.brep.vertices);
  d.addBitstream(buffer(workedExample));
  d.decodeBitstream(0);
  EXPECT_EQ(8u * workedExample.size(), d.noBits);
  EXPECT_EQ(d.firstBitstream->data, d.bytePtr);
  EXPECT_EQ(0, d.bitPos);
  EXPECT_EQ(0, d.headerDecoded);
  d.decodeBitstream(135);  // one bit short of the header
  EXPECT_EQ(0, d.headerDecoded);
  EXPECT_EQ(8u * workedExample.size(), d.noBits);
  d.decodeBitstream(136 + 73);  // header and root vertex, one bit short of the first split
  EXPECT_EQ(1u, d.brep.noVertices);
  EXPECT_EQ(8u * workedExample.size() - 209, d.noBits);
  d.decodeBitstream();
  EXPECT_EQ(2u, d.noLevels);
}

// reset() after a partial stream frees everything; a new stream then decodes as on a new decoder.
TEST(LumoDecoderStream, ResetAfterPartialStream) {
  StreamModel m = randomModel(5, 50, flags(1, 1, 2, 2));
  std::vector<uint8_t> bytes = m.finish();
  LumoDecoder d;
  d.addBitstream(buffer(std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() / 2)));
  d.decodeBitstream();
  d.setNoTriangles(5);
  d.reset();
  EXPECT_EQ(nullptr, d.firstBitstream);
  EXPECT_EQ(nullptr, d.getClusterTree());
  EXPECT_EQ(nullptr, d.levelClusters);
  EXPECT_EQ(nullptr, d.brep.vertices);
  EXPECT_EQ(0, d.brep.colorBinding);
  EXPECT_EQ(0u, d.getMaxNoTriangles());
  EXPECT_EQ(0u, d.getNoTriangles());
  EXPECT_EQ(FLT_MAX, d.getMinParentClusterSize());
  feedWhole(d, workedExample);
  LumoDecoder fresh;
  feedWhole(fresh, workedExample);
  expectSameDecoding(fresh, d);
}

// ---------------------------------------------------------------------------------------------------
// Hostile streams.

struct HostileCase {
  const char* name;
  std::vector<uint8_t> bytes;
  uint32_t vertices, triangles, levels;   // what stays decoded
  bool headerDecoded;
};

BitWriter headerOnly(uint32_t clusters, uint32_t vertices, uint32_t triangles) {
  BitWriter w;
  Header h;
  h.clusters = clusters;
  h.vertices = vertices;
  h.triangles = triangles;
  writeHeader(w, h);
  return w;
}

// A valid model stream of n splits whose header counts are replaced, with `extra` appended before the end.
std::vector<uint8_t> lying(uint32_t clusters, uint32_t vertices, uint32_t triangles, int splits,
                           const BitWriter& extra = BitWriter()) {
  StreamModel m = randomModel(21, splits);
  m.keepCounts = true;
  m.header.clusters = clusters;
  m.header.vertices = vertices;
  m.header.triangles = triangles;
  m.body.append(extra);
  return m.finish();
}

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases;
  BitWriter vertexFirst;
  vertexFirst.tag(lumoVertexPacket);
  for (int i = 0; i < 3; i++) vertexFirst.putFloat(1.0f);
  vertexFirst.tag(lumoEndTag);
  cases.push_back({"vertex packet before the header", vertexFirst.bytes, 0, 0, 0, false});

  BitWriter triangleFirst;
  triangleFirst.tag(lumoTrianglePacket);
  triangleFirst.put(0, 1);
  triangleFirst.tag(lumoEndTag);
  cases.push_back({"triangle packet before the header", triangleFirst.bytes, 0, 0, 0, false});

  StreamModel twice = randomModel(21, 6);
  uint32_t twiceTriangles = twice.noTriangles;
  writeHeader(twice.body, twice.header);
  cases.push_back({"second header", twice.finish(), 7, twiceTriangles, 5, true});

  BitWriter early = headerOnly(9, 5, 4);
  early.tag(lumoVertexPacket);
  for (int i = 0; i < 3; i++) early.putFloat(2.0f);
  early.tag(lumoTrianglePacket);
  early.put(0, 1);
  early.tag(lumoEndTag);
  cases.push_back({"triangle packet before the first split", early.bytes, 1, 0, 0, true});

  StreamModel counted = randomModel(21, 6);
  uint32_t all = counted.noTriangles;
  uint32_t lastSplit = 1;  // the split that brings the last triangle
  while (counted.totals[lastSplit - 1] < all) lastSplit++;
  cases.push_back({"more vertices than announced", lying(100, 5, all, 6), 5, counted.totals[3], 3, true});
  cases.push_back({"more triangles than announced", lying(100, 7, all - 1, 6), lastSplit + 1, all - 1,
                   lastSplit - 1, true});
  cases.push_back({"more splits than the cluster count", lying(3, 7, all, 6), 4, counted.totals[2], 2, true});
  cases.push_back({"no vertex announced", lying(0, 0, 0, 2), 0, 0, 0, true});
  return cases;
}

// Whatever was decoded before the offending packet can be shown at every level, by count and by size.
void expectShowableAtEveryLevel(LumoDecoder& d) {
  for (uint32_t n = d.getAvailableNoTriangles() + 1; n-- > 0;) {
    d.setNoTriangles(n);
    ASSERT_LE(d.brep.noTriangles, n);
    for (uint32_t t = 0; t < d.brep.noTriangles; t++)
      for (int c = 0; c < 3; c++) { ASSERT_LT(uint32_t(d.brep.triangles[4 * t + c]), d.brep.noVertices); }
  }
  for (float s : {0.0f, 1.0f, 5.0f, FLT_MAX}) d.setMinParentClusterSize(s);
  d.setAvailableNoTriangles();
  EXPECT_EQ(d.getAvailableNoTriangles(), d.brep.noTriangles);
}

TEST(LumoDecoderHostile, PacketsThatBreakTheOrderDamageTheStream) {
  for (const HostileCase& c : hostileCases()) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t(1), size_t(1024)}) {
      LumoDecoder d;
      testing::internal::CaptureStdout();
      for (LumoBitstream* b : pieces(c.bytes, piece)) {
        d.addBitstream(b);
        d.decodeBitstream();
      }
      EXPECT_EQ("", testing::internal::GetCapturedStdout());
      EXPECT_TRUE(d.isDamaged());
      EXPECT_EQ(nullptr, d.firstBitstream) << "the input is freed";
      EXPECT_EQ(0u, d.noBits);
      EXPECT_EQ(c.headerDecoded, d.headerDecoded != 0);
      EXPECT_EQ(c.vertices, d.brep.noVertices);
      EXPECT_EQ(c.triangles, d.noDecodedTriangles);
      EXPECT_EQ(c.levels, d.noLevels) << "the split pending at the offending packet is not made available";
      expectShowableAtEveryLevel(d);

      d.addBitstream(buffer(workedExample));
      d.decodeBitstream();
      EXPECT_EQ(nullptr, d.firstBitstream) << "later input is ignored";
      EXPECT_EQ(c.vertices, d.brep.noVertices);

      d.reset();
      EXPECT_FALSE(d.isDamaged());
      feedWhole(d, workedExample);
      EXPECT_EQ(2u, d.noLevels);
    }
  }
}

TEST(LumoDecoderHostile, HeadersBeyondTheLimitsAreRefusedBeforeAllocating) {
  const struct {
    const char* name;
    Header header;
    uint64_t limit;
    bool accepted;
  } cases[] = {
      {"image size overflows", flags(0, 0, 0, 0), LumoDecoder::defaultMemoryLimit, false},
      {"vertex arrays beyond the default limit", flags(2, 1, 0, 0), LumoDecoder::defaultMemoryLimit, false},
      {"cluster array beyond the default limit", flags(0, 0, 0, 0), LumoDecoder::defaultMemoryLimit, false},
      {"image bits beyond a 32-bit count", flags(0, 0, 0, 0), uint64_t(1) << 40, false},
      {"arrays exactly at the limit", flags(0, 0, 0, 0), 12 * 10 + 16 * 20 + 8 * 30, true},
      {"one byte above the limit", flags(0, 0, 0, 0), 12 * 10 + 16 * 20 + 8 * 30 - 1, false},
      {"texture arrays at the limit", flags(0, 0, 0, 0), 12 * 10 + 40 * 20 + 8 * 30 + 2 * 3 * 3, true},
      {"texture arrays above the limit", flags(0, 0, 0, 0), 12 * 10 + 40 * 20 + 8 * 30 + 2 * 3 * 3 - 1, false},
  };
  Header h[8];
  for (int i = 0; i < 8; i++) h[i] = cases[i].header;
  h[0].width = h[0].height = 0xFFFFFFFFu;
  h[1].vertices = 0xFFFFFFFFu;
  h[2].clusters = 0xFFFFFFFFu;
  h[3].width = 1u << 16;
  h[3].height = 1u << 12;
  for (int i = 4; i < 8; i++) {
    h[i].vertices = 10;
    h[i].triangles = 20;
    h[i].clusters = 30;
  }
  h[6].width = h[7].width = 2;
  h[6].height = h[7].height = 3;
  h[6].image = h[7].image = std::vector<uint8_t>(18, 7);
  for (int i = 0; i < 8; i++) {
    SCOPED_TRACE(cases[i].name);
    BitWriter w;
    Header written = h[i];
    if (i < 4) written.image.clear();  // refused on the sizes alone: the pixels never need to arrive
    writeHeader(w, written);
    LumoDecoder d;
    d.setMemoryLimit(cases[i].limit);
    EXPECT_EQ(cases[i].limit, d.getMemoryLimit());
    feedWhole(d, w.bytes);
    EXPECT_EQ(cases[i].accepted, !d.isDamaged());
    EXPECT_EQ(cases[i].accepted, d.headerDecoded != 0);
    EXPECT_EQ(cases[i].accepted, d.brep.vertices != nullptr);
    if (!cases[i].accepted) {
      EXPECT_EQ(nullptr, d.brep.image);
      EXPECT_EQ(nullptr, d.levelClusters);
      EXPECT_EQ(nullptr, d.firstBitstream);
      EXPECT_EQ(0u, d.getMaxNoTriangles());
    }
  }
}

// Counts the header decoder's attempts.
class CountingDecoder : public LumoDecoder {
 public:
  int headerAttempts = 0;
  int decodeHeaderPacket() override {
    headerAttempts++;
    return LumoDecoder::decodeHeaderPacket();
  }
};

// A textured header fed a byte at a time is attempted only when its size fields arrive and when all of
// it is held, not on every call; nothing is allocated before.
TEST(LumoDecoderHostile, TexturedHeaderIsNotReadAgainOnEveryCall) {
  StreamModel m = randomModel(9, 20, flags(1, 0, 64, 64));
  std::vector<uint8_t> bytes = m.finish();
  CountingDecoder d;
  size_t added = 0;
  for (LumoBitstream* b : pieces(bytes, 1)) {
    d.addBitstream(b);
    d.decodeBitstream();
    if (++added * 8 < m.headerBits) {
      ASSERT_EQ(nullptr, d.brep.image);
      ASSERT_EQ(nullptr, d.brep.vertices);
    }
  }
  EXPECT_LE(d.headerAttempts, 166 / 8 + 3) << "once per byte of the size fields, then once more";
  LumoDecoder whole;
  feedWhole(whole, bytes);
  expectSameDecoding(whole, d);

  // The same for budgets: a budget below the header's size never lets it allocate.
  CountingDecoder budgeted;
  budgeted.addBitstream(buffer(bytes));
  for (int i = 0; i < 1000; i++) budgeted.decodeBitstream(64 * 64 * 24);
  EXPECT_EQ(nullptr, budgeted.brep.image);
  EXPECT_EQ(1, budgeted.headerAttempts);
  budgeted.decodeBitstream(uint32_t(m.headerBits));
  EXPECT_NE(nullptr, budgeted.brep.image);
}

// A long corner list fed a byte at a time is likewise not re-read from its tag on every call.
TEST(LumoDecoderHostile, LongSideBitListWaitsForAllItsBits) {
  StreamModel m;
  m.root({{0, 0, 0}});
  m.split(0, {{1, 0, 0}});
  m.split(1, {{2, 0, 0}});
  for (int t = 0; t < 3000; t++) m.triangle(2, t % 2);  // 3000 corners in leaf 2's list
  m.split(2, {{3, 0, 0}});
  std::vector<uint8_t> bytes = m.finish();

  class VertexCounting : public LumoDecoder {
   public:
    int attempts = 0;
    int decodeVertexPacket() override {
      attempts++;
      return LumoDecoder::decodeVertexPacket();
    }
  } d;
  for (LumoBitstream* b : pieces(bytes, 1)) {
    d.addBitstream(b);
    d.decodeBitstream();
  }
  EXPECT_LT(d.attempts, 60) << "about once per byte of the fixed fields only";
  EXPECT_EQ(3u, d.noLevels);
  d.setAvailableNoTriangles();
  std::vector<int32_t> expected = m.tableAt(3);
  for (uint32_t t = 0; t < 3000; t++)
    for (int c = 0; c < 3; c++) { ASSERT_EQ(expected[3 * t + c], d.brep.triangles[4 * t + c]); }
}

TEST(LumoDecoderHostile, ColourBindingThreeActsAsNone) {
  StreamModel m = randomModel(4, 10, flags(3, 0, 0, 0));
  LumoDecoder d;
  feedWhole(d, m.finish());
  EXPECT_FALSE(d.isDamaged());
  EXPECT_EQ(0, d.brep.colorBinding);
  EXPECT_EQ(nullptr, d.brep.colors);
  EXPECT_EQ(10u, d.noLevels);
  StreamModel plain = randomModel(4, 10);
  LumoDecoder reference;
  feedWhole(reference, plain.finish());
  expectSameDecoding(reference, d);
}

TEST(LumoDecoderHostile, ExtendedPacketEndsTheProgram) {
  BitWriter w = headerOnly(1, 1, 0);
  w.tag(lumoExtendedPacket);
  w.tag(lumoEndTag);
  LumoDecoder d;
  d.addBitstream(buffer(w.bytes));
  EXPECT_EXIT(
      {
        dup2(2, 1);
        d.decodeBitstream();
      },
      testing::ExitedWithCode(1), "^error: extended packet\n$");
}

// A subclass may accept the extended packet (as the fuzz target does); it then consumes only its tag.
TEST(LumoDecoderHostile, OverriddenExtendedPacketConsumesItsTag) {
  class Accepting : public LumoDecoder {
   public:
    int decodeExtendedPacket() override { return 1; }
  } d;
  StreamModel m = randomModel(2, 5);
  m.body.tag(lumoExtendedPacket);
  feedWhole(d, m.finish());
  EXPECT_FALSE(d.isDamaged());
  EXPECT_EQ(5u, d.noLevels);
}

// Input whose held bits would overflow a 32-bit count can never be decoded and damages the stream.
TEST(LumoDecoderHostile, HeldBitsBeyondA32BitCount) {
  LumoDecoder d;
  d.addBitstream(buffer({0x0F}));
  LumoBitstream* huge = new LumoBitstream{nullptr, 0x20000000u, new unsigned char[1]};  // 2^32 bits claimed
  d.addBitstream(huge);
  EXPECT_TRUE(d.isDamaged());
  EXPECT_EQ(nullptr, d.firstBitstream);
  d.decodeBitstream();
}

// ---------------------------------------------------------------------------------------------------
// Hand-off and tree release.

TEST(LumoDecoderHandOff, TakesOverTreeAndBorrowsMesh) {
  LumoBrep mesh;
  mesh.noVertices = 3;
  mesh.vertices = new float[9]{4, 0, 0, 4, 1, 0, 0, 0, 1};
  mesh.noTriangles = 1;
  mesh.triangles = new int32_t[4]{2, 0, 1, -1};
  // The worked example's tree in mesh numbers: root m1 splits into {m0, m1} and m2; {m0, m1} into m1, m0.
  auto leaf = [](uint32_t v) { return new LumoDecoderCluster{v, 0, nullptr, nullptr, nullptr, 0}; };
  LumoDecoderCluster* pair = new LumoDecoderCluster{1, 1.0f, nullptr, leaf(1), leaf(0), 1};
  pair->corners = new LumoDecoderCorner{0, 1, 1, nullptr};
  LumoDecoderCluster* root = new LumoDecoderCluster{1, std::sqrt(18.0f), nullptr, pair, leaf(2), 0};
  LumoDecoderCluster** levels = new LumoDecoderCluster*[2]{root, pair};

  LumoDecoder d;
  feedWhole(d, workedExample);  // whatever it held before is released
  d.reset(mesh, root, levels, 2);
  EXPECT_EQ(0u, d.brep.noTriangles);
  EXPECT_EQ(1u, d.getMaxNoTriangles());
  EXPECT_EQ(1u, d.getAvailableNoTriangles());
  EXPECT_EQ(0u, d.getNoTriangles());
  EXPECT_EQ(0u, d.level);
  EXPECT_EQ(root, d.getClusterTree());
  EXPECT_EQ(mesh.triangles, d.brep.triangles);
  EXPECT_EQ(1u, d.setAvailableNoTriangles());
  EXPECT_EQ(2u, d.level);
  EXPECT_EQ(0, d.brep.triangles[1]);
  d.setNoTriangles(0);  // size mode, default threshold: everything taken back
  EXPECT_EQ(1, d.brep.triangles[1]);

  d.addBitstream(buffer(workedExample));  // nothing to decode after a hand-off
  d.decodeBitstream();
  EXPECT_EQ(nullptr, d.firstBitstream);
  EXPECT_EQ(mesh.triangles, d.brep.triangles);

  d.reset();
  EXPECT_EQ(nullptr, d.brep.triangles) << "the record no longer points at the borrowed arrays";
  EXPECT_EQ(2, mesh.triangles[0]) << "the borrowed arrays are left alone";
  mesh.deleteLists();
}

TEST(LumoDecoderHandOff, TreeWithoutSplits) {
  LumoBrep mesh;
  mesh.noVertices = 1;
  mesh.vertices = new float[3]{1, 2, 3};
  struct {
    LumoDecoderCluster* root;
    LumoDecoderCluster** levels;
  } cases[] = {{nullptr, nullptr},
               {nullptr, new LumoDecoderCluster*[0]},
               {new LumoDecoderCluster{0, 0, nullptr, nullptr, nullptr, 0}, nullptr}};
  for (auto& c : cases) {
    LumoDecoder d;
    d.reset(mesh, c.root, c.levels, 0);
    EXPECT_EQ(0u, d.setAvailableNoTriangles());
    EXPECT_EQ(0u, d.setNoTriangles(10));
    d.setMinParentClusterSize(0);
    EXPECT_EQ(0u, d.brep.noTriangles);
    EXPECT_EQ(0u, d.level);
  }
  LumoDecoder nullArray;
  nullArray.reset(mesh, nullptr, nullptr, 5);  // a count without an array counts as no levels
  EXPECT_EQ(0u, nullArray.noLevels);
  nullArray.setAvailableNoTriangles();
  mesh.deleteLists();
}

// A deep tree (a chain of 300000 splits) is released without recursion, corner lists included.
TEST(LumoDecoderTree, DeepTreesAreReleasedWithoutRecursion) {
  for (bool alongSecond : {true, false}) {
    LumoDecoderCluster* root = new LumoDecoderCluster{0, 0, nullptr, nullptr, nullptr, 0};
    LumoDecoderCluster* at = root;
    for (uint32_t i = 1; i < 300000; i++) {
      LumoDecoderCluster* a = new LumoDecoderCluster{i, 0, nullptr, nullptr, nullptr, 0};
      LumoDecoderCluster* b = new LumoDecoderCluster{i, 0, nullptr, nullptr, nullptr, 0};
      a->corners = new LumoDecoderCorner{i, 0, 0, nullptr};
      at->firstChild = a;
      at->secondChild = b;
      at = alongSecond ? b : a;
    }
    LumoDecoder d;
    d.clusterTree = root;
  }
}

}  // namespace

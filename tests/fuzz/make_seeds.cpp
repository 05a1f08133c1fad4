// Writes the seed inputs of the decoder fuzz target: streams of a few small meshes made by the stream
// writer (every header variant: colour per vertex or overall, normals, texture; coincident vertices for
// size-0 splits), each behind a few 8-byte schedules. Usage: make_seeds <directory>.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "LumoEncoder.h"

namespace {

// A grid of n × n vertices in the z = 0 plane, two triangles per cell; with `coincident`, the second
// row repeats the first row's positions.
LumoBrep grid(uint32_t n, bool coincident) {
  LumoBrep mesh;
  mesh.noVertices = n * n;
  mesh.vertices = new float[mesh.noVertices * 3];
  for (uint32_t y = 0; y < n; y++)
    for (uint32_t x = 0; x < n; x++) {
      float* p = mesh.vertices + 3 * (y * n + x);
      p[0] = float(x) * 1.5f;
      p[1] = coincident && y == 1 ? 0.0f : float(y) + 0.25f * float(x % 2);
      p[2] = float((x * y) % 3) * 0.5f;
    }
  mesh.noTriangles = 2 * (n - 1) * (n - 1);
  mesh.triangles = new int32_t[mesh.noTriangles * 4];
  int32_t* t = mesh.triangles;
  for (uint32_t y = 0; y + 1 < n; y++)
    for (uint32_t x = 0; x + 1 < n; x++) {
      int32_t a = int32_t(y * n + x), b = a + 1, c = a + int32_t(n), d = c + 1;
      int32_t rows[8] = {a, b, d, -1, a, d, c, -1};
      for (int32_t v : rows) *t++ = v;
    }
  return mesh;
}

void withColours(LumoBrep& mesh, int32_t binding) {
  mesh.colorBinding = binding;
  uint32_t n = binding == 2 ? mesh.noVertices : 1;
  mesh.colors = new float[n * 3];
  for (uint32_t i = 0; i < n * 3; i++) mesh.colors[i] = float(i % 5) / 4.0f;
}

void withNormals(LumoBrep& mesh) {
  mesh.hasNormals = 1;
  mesh.normals = new float[mesh.noVertices * 3];
  for (uint32_t i = 0; i < mesh.noVertices * 3; i++) mesh.normals[i] = i % 3 == 2 ? 1.0f : 0.0f;
}

void withTexture(LumoBrep& mesh, uint32_t width, uint32_t height) {
  mesh.hasTexture = 1;
  mesh.imageWidth = width;
  mesh.imageHeight = height;
  mesh.image = new unsigned char[width * height * 3];
  for (uint32_t i = 0; i < width * height * 3; i++) mesh.image[i] = uint8_t(i * 41);
  mesh.texCoords = new float[mesh.noTriangles * 6];
  for (uint32_t i = 0; i < mesh.noTriangles * 6; i++) mesh.texCoords[i] = float(i % 7) / 6.0f;
}

std::vector<uint8_t> streamOf(LumoBrep& mesh) {
  LumoEncoder encoder;
  encoder.setBrep(mesh);
  LumoBitstream* chain = encoder.getBitstream(1024);
  std::vector<uint8_t> bytes;
  for (LumoBitstream* b = chain; b; b = b->next) bytes.insert(bytes.end(), b->data, b->data + b->length);
  deleteBitstream(chain);
  return bytes;
}

bool writeSeeds(const std::string& directory, const char* name, LumoBrep& mesh) {
  std::vector<uint8_t> stream = streamOf(mesh);
  mesh.deleteLists();
  const uint64_t schedules[] = {0, 0x0123456789ABCDEFull, 0xFFFFFFFF00000000ull};
  for (size_t i = 0; i < 3; i++) {
    std::string path = directory + "/" + name + "-" + std::to_string(i);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fwrite(&schedules[i], 8, 1, f);
    std::fwrite(stream.data(), 1, stream.size(), f);
    if (std::fclose(f) != 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::puts("make_seeds directory");
    return 1;
  }
  std::string directory = argv[1];
  LumoBrep triangle = grid(2, false);
  triangle.noTriangles = 1;
  LumoBrep coloured = grid(3, false);
  withColours(coloured, 2);
  withNormals(coloured);
  LumoBrep overall = grid(3, true);
  withColours(overall, 1);
  LumoBrep textured = grid(4, false);
  withTexture(textured, 2, 2);
  withNormals(textured);
  LumoBrep flat = grid(5, true);
  bool ok = writeSeeds(directory, "triangle", triangle) && writeSeeds(directory, "coloured", coloured) &&
            writeSeeds(directory, "overall", overall) && writeSeeds(directory, "textured", textured) &&
            writeSeeds(directory, "coincident", flat);
  return ok ? 0 : 1;
}

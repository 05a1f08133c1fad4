// Large test meshes for the benchmark and the stream digests: a geodesic sphere (every face of an
// icosahedron cut into n × n triangles, 20 n² triangles and 10 n² + 2 vertices) whose radius is displaced
// by smooth value noise, with optional per-vertex colours, normals, and per-corner texture coordinates
// with a small image. Only basic IEEE arithmetic and square roots go into the numbers, so every build
// makes the same mesh bit for bit. Header-only: the digest test includes it without linking the bench.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "Lumo.h"

namespace meshgen {

struct Options {
  uint32_t frequency = 71;   // 71: about 100k triangles, 224: about 1M, 447: about 4M
  bool colors = false;
  bool normals = false;
  bool texture = false;
};

inline uint32_t noTriangles(uint32_t frequency) { return 20 * frequency * frequency; }

namespace detail {

inline uint32_t hash(int32_t x, int32_t y, int32_t z) {
  uint32_t h = uint32_t(x) * 0x8da6b343u ^ uint32_t(y) * 0xd8163841u ^ uint32_t(z) * 0xcb1ab31fu;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  h *= 0x297a2d39u;
  h ^= h >> 15;
  return h;
}

inline double lattice(int32_t x, int32_t y, int32_t z) {
  return (hash(x, y, z) & 0xffffff) / double(0x1000000);
}

inline double smooth(double t) { return t * t * (3 - 2 * t); }

inline double lerp(double a, double b, double t) { return a + (b - a) * t; }

// Trilinear value noise in [0, 1) with smoothstep weights.
inline double valueNoise(double x, double y, double z) {
  double fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
  int32_t ix = int32_t(fx), iy = int32_t(fy), iz = int32_t(fz);
  double tx = smooth(x - fx), ty = smooth(y - fy), tz = smooth(z - fz);
  double c[2][2];
  for (int j = 0; j < 2; j++)
    for (int k = 0; k < 2; k++)
      c[j][k] = lerp(lattice(ix, iy + j, iz + k), lattice(ix + 1, iy + j, iz + k), tx);
  return lerp(lerp(c[0][0], c[1][0], ty), lerp(c[0][1], c[1][1], ty), tz);
}

// Three octaves, centred on 0.
inline double displacement(const double* p) {
  double sum = 0, amplitude = 0.5, frequency = 2;
  for (int octave = 0; octave < 3; octave++) {
    sum += amplitude * (valueNoise(p[0] * frequency, p[1] * frequency, p[2] * frequency) - 0.5);
    amplitude *= 0.5;
    frequency *= 2;
  }
  return sum;
}

const double phi = 1.6180339887498949;
const double icosahedronVertices[12][3] = {
    {-1, phi, 0}, {1, phi, 0}, {-1, -phi, 0}, {1, -phi, 0}, {0, -1, phi}, {0, 1, phi},
    {0, -1, -phi}, {0, 1, -phi}, {phi, 0, -1}, {phi, 0, 1}, {-phi, 0, -1}, {-phi, 0, 1}};
// Counter-clockwise seen from outside.
const int icosahedronFaces[20][3] = {
    {0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
    {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
    {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};

// A point of a face grid named by its icosahedron vertices and their integer weights, lowest vertex
// first, so that points on shared edges and corners get one key whichever face reaches them.
typedef std::tuple<int, uint32_t, int, uint32_t, int, uint32_t> PointKey;

inline PointKey keyOf(const int* corner, const uint32_t* weight) {
  std::vector<std::pair<int, uint32_t>> parts;
  for (int k = 0; k < 3; k++)
    if (weight[k]) parts.push_back({corner[k], weight[k]});
  std::sort(parts.begin(), parts.end());
  while (parts.size() < 3) parts.push_back({-1, 0});
  return PointKey(parts[0].first, parts[0].second, parts[1].first, parts[1].second, parts[2].first,
                  parts[2].second);
}

// The unit direction of a grid point, summed in key order so that a shared point is computed alike.
inline void directionOf(const PointKey& key, uint32_t frequency, double* d) {
  const int vertex[3] = {std::get<0>(key), std::get<2>(key), std::get<4>(key)};
  const uint32_t weight[3] = {std::get<1>(key), std::get<3>(key), std::get<5>(key)};
  d[0] = d[1] = d[2] = 0;
  for (int k = 0; k < 3; k++) {
    if (vertex[k] < 0) continue;
    for (int axis = 0; axis < 3; axis++)
      d[axis] += icosahedronVertices[vertex[k]][axis] * weight[k] / double(frequency);
  }
  double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  for (int axis = 0; axis < 3; axis++) d[axis] /= length;
}

inline void fillNormals(LumoBrep& mesh) {
  std::vector<double> sum(size_t(mesh.noVertices) * 3, 0.0);
  for (uint32_t t = 0; t < mesh.noTriangles; t++) {
    const int32_t* c = mesh.triangles + 4 * size_t(t);
    const float* p0 = mesh.vertices + 3 * size_t(c[0]);
    const float* p1 = mesh.vertices + 3 * size_t(c[1]);
    const float* p2 = mesh.vertices + 3 * size_t(c[2]);
    double e1[3], e2[3];
    for (int a = 0; a < 3; a++) {
      e1[a] = double(p1[a]) - p0[a];
      e2[a] = double(p2[a]) - p0[a];
    }
    double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                   e1[0] * e2[1] - e1[1] * e2[0]};
    for (int k = 0; k < 3; k++)
      for (int a = 0; a < 3; a++) sum[3 * size_t(c[k]) + a] += n[a];
  }
  mesh.normals = new float[size_t(mesh.noVertices) * 3];
  for (uint32_t v = 0; v < mesh.noVertices; v++) {
    const double* s = &sum[3 * size_t(v)];
    double length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    for (int a = 0; a < 3; a++) mesh.normals[3 * size_t(v) + a] = float(length > 0 ? s[a] / length : 0);
  }
  mesh.hasNormals = 1;
}

inline void fillTexture(LumoBrep& mesh, const std::vector<double>& directions) {
  mesh.texCoords = new float[size_t(mesh.noTriangles) * 6];
  for (uint32_t t = 0; t < mesh.noTriangles; t++)
    for (int k = 0; k < 3; k++) {
      const double* d = &directions[3 * size_t(mesh.triangles[4 * size_t(t) + k])];
      mesh.texCoords[6 * size_t(t) + 2 * k] = float(0.5 + 0.5 * d[0]);
      mesh.texCoords[6 * size_t(t) + 2 * k + 1] = float(0.5 + 0.5 * d[1]);
    }
  mesh.imageWidth = 64;
  mesh.imageHeight = 64;
  mesh.image = new unsigned char[64 * 64 * 3];
  for (uint32_t y = 0; y < 64; y++)
    for (uint32_t x = 0; x < 64; x++) {
      unsigned char* pixel = mesh.image + 3 * (y * 64 + x);
      pixel[0] = uint8_t(x * 4);
      pixel[1] = uint8_t(y * 4);
      pixel[2] = ((x / 8 + y / 8) & 1) ? 255 : 32;
    }
  mesh.hasTexture = 1;
}

}  // namespace detail

// Fills `mesh` (whose arrays the caller then owns and releases with deleteLists).
inline void generate(const Options& options, LumoBrep& mesh) {
  using namespace detail;
  const uint32_t n = options.frequency;
  std::map<PointKey, uint32_t> boundary;
  std::vector<double> directions;
  std::vector<int32_t> triangles;
  std::vector<uint32_t> grid;

  for (const int* face : icosahedronFaces) {
    // grid[i * (n + 1) + j] is the vertex with weight i on the face's second corner and j on its third.
    grid.assign(size_t(n + 1) * (n + 1), 0);
    for (uint32_t i = 0; i <= n; i++)
      for (uint32_t j = 0; i + j <= n; j++) {
        const uint32_t weight[3] = {n - i - j, i, j};
        PointKey key = keyOf(face, weight);
        bool onEdge = weight[0] == 0 || i == 0 || j == 0;
        uint32_t index = uint32_t(directions.size() / 3);
        if (onEdge) {
          auto found = boundary.find(key);
          if (found != boundary.end()) {
            grid[i * (n + 1) + j] = found->second;
            continue;
          }
          boundary[key] = index;
        }
        double d[3];
        directionOf(key, n, d);
        directions.insert(directions.end(), d, d + 3);
        grid[i * (n + 1) + j] = index;
      }
    for (uint32_t i = 0; i < n; i++)
      for (uint32_t j = 0; i + j < n; j++) {
        uint32_t a = grid[i * (n + 1) + j], b = grid[(i + 1) * (n + 1) + j], c = grid[i * (n + 1) + j + 1];
        triangles.insert(triangles.end(), {int32_t(a), int32_t(b), int32_t(c), -1});
        if (i + j + 1 < n) {
          uint32_t d = grid[(i + 1) * (n + 1) + j + 1];
          triangles.insert(triangles.end(), {int32_t(b), int32_t(d), int32_t(c), -1});
        }
      }
  }

  mesh = LumoBrep();
  mesh.noVertices = uint32_t(directions.size() / 3);
  mesh.noTriangles = uint32_t(triangles.size() / 4);
  mesh.vertices = new float[size_t(mesh.noVertices) * 3];
  for (uint32_t v = 0; v < mesh.noVertices; v++) {
    const double* d = &directions[3 * size_t(v)];
    double radius = 1 + 0.3 * displacement(d);
    for (int a = 0; a < 3; a++) mesh.vertices[3 * size_t(v) + a] = float(d[a] * radius);
  }
  mesh.triangles = new int32_t[triangles.size()];
  std::copy(triangles.begin(), triangles.end(), mesh.triangles);
  if (options.colors) {
    mesh.colorBinding = 2;
    mesh.colors = new float[size_t(mesh.noVertices) * 3];
    for (uint32_t v = 0; v < mesh.noVertices; v++)
      for (int a = 0; a < 3; a++)
        mesh.colors[3 * size_t(v) + a] = float(0.5 + 0.5 * directions[3 * size_t(v) + a]);
  }
  if (options.normals) fillNormals(mesh);
  if (options.texture) fillTexture(mesh, directions);
}

// Writes `mesh` as an ASCII Inventor scene in the shape the scene import reads (per-vertex colours
// as a Material, normals, one texture coordinate per triangle corner, an inline RGB image).
inline bool writeIv(const LumoBrep& mesh, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  std::fprintf(file, "#Inventor V2.1 ascii\n\nSeparator {\n");
  if (mesh.hasTexture) {
    std::fprintf(file, "  Texture2 { image %u %u 3\n", mesh.imageWidth, mesh.imageHeight);
    for (uint32_t p = 0; p < mesh.imageWidth * mesh.imageHeight; p++) {
      const unsigned char* rgb = mesh.image + 3 * size_t(p);
      std::fprintf(file, "    0x%02x%02x%02x\n", rgb[0], rgb[1], rgb[2]);
    }
    std::fprintf(file, "  }\n");
  }
  auto vectors = [file](const char* node, const char* field, const float* values, size_t count) {
    std::fprintf(file, "  %s { %s [\n", node, field);
    for (size_t i = 0; i < count; i++)
      std::fprintf(file, "    %.9g %.9g %.9g,\n", values[3 * i], values[3 * i + 1], values[3 * i + 2]);
    std::fprintf(file, "  ] }\n");
  };
  if (mesh.colorBinding == 2) vectors("Material", "diffuseColor", mesh.colors, mesh.noVertices);
  if (mesh.hasNormals) vectors("Normal", "vector", mesh.normals, mesh.noVertices);
  if (mesh.hasTexture) {
    std::fprintf(file, "  TextureCoordinate2 { point [\n");
    for (size_t i = 0; i < size_t(mesh.noTriangles) * 3; i++)
      std::fprintf(file, "    %.9g %.9g,\n", mesh.texCoords[2 * i], mesh.texCoords[2 * i + 1]);
    std::fprintf(file, "  ] }\n");
  }
  vectors("Coordinate3", "point", mesh.vertices, mesh.noVertices);
  std::fprintf(file, "  IndexedFaceSet { coordIndex [\n");
  for (uint32_t t = 0; t < mesh.noTriangles; t++) {
    const int32_t* c = mesh.triangles + 4 * size_t(t);
    std::fprintf(file, "    %d, %d, %d, -1,\n", c[0], c[1], c[2]);
  }
  std::fprintf(file, "  ] }\n}\n");
  return std::fclose(file) == 0;
}

}  // namespace meshgen

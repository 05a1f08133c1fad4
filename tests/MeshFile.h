// Test helper: reads the ASCII Inventor mesh files of the shared test meshes (one Coordinate3, one
// IndexedFaceSet of triangles, and optionally Material, Normal, TextureCoordinate2 and an RGB Texture2)
// into a LumoBrep without Open Inventor, with the same choices as the scene import. The caller owns the
// arrays (deleteLists).
#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Lumo.h"

namespace meshfile {

inline std::vector<std::string> tokens(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  for (char& c : s)
    if (c == ',') c = ' ';
  std::vector<std::string> out;
  std::string token;
  for (char c : s) {
    if (c == '[' || c == ']' || c == '{' || c == '}' || isspace(static_cast<unsigned char>(c))) {
      if (!token.empty()) out.push_back(token);
      token.clear();
      if (!isspace(static_cast<unsigned char>(c))) out.push_back(std::string(1, c));
    } else {
      token += c;
    }
  }
  if (!token.empty()) out.push_back(token);
  return out;
}

// The numbers between the '[' that follows `field` after `node` and the matching ']'.
inline std::vector<double> numbers(const std::vector<std::string>& t, const char* node,
                                   const char* field, bool* found) {
  std::vector<double> values;
  *found = false;
  for (size_t i = 0; i + 2 < t.size(); i++) {
    if (t[i] != node || t[i + 1] != "{" || t[i + 2] != field) continue;
    *found = true;
    size_t k = i + 3;
    if (k < t.size() && t[k] == "[") {
      for (k++; k < t.size() && t[k] != "]"; k++) values.push_back(std::strtod(t[k].c_str(), nullptr));
    } else {
      for (; k < t.size() && t[k] != "}"; k++) values.push_back(std::strtod(t[k].c_str(), nullptr));
    }
    break;
  }
  return values;
}

inline float* floats(const std::vector<double>& v, size_t count) {
  float* a = new float[count];
  for (size_t i = 0; i < count; i++) a[i] = float(v[i]);
  return a;
}

// Returns false when the file holds no coordinates or no face set.
inline bool read(const std::string& path, LumoBrep& mesh) {
  std::vector<std::string> t = tokens(path);
  bool hasPoints, hasFaces, hasColors, hasNormals, hasCoords, hasImage;
  std::vector<double> points = numbers(t, "Coordinate3", "point", &hasPoints);
  std::vector<double> index = numbers(t, "IndexedFaceSet", "coordIndex", &hasFaces);
  std::vector<double> colors = numbers(t, "Material", "diffuseColor", &hasColors);
  std::vector<double> normals = numbers(t, "Normal", "vector", &hasNormals);
  std::vector<double> coords = numbers(t, "TextureCoordinate2", "point", &hasCoords);
  std::vector<double> image = numbers(t, "Texture2", "image", &hasImage);
  if (!hasPoints || !hasFaces) return false;

  mesh = LumoBrep();
  mesh.noVertices = uint32_t(points.size() / 3);
  mesh.vertices = floats(points, size_t(mesh.noVertices) * 3);
  mesh.noTriangles = uint32_t(index.size() / 4);
  mesh.triangles = new int32_t[size_t(mesh.noTriangles) * 4];
  for (size_t i = 0; i < size_t(mesh.noTriangles) * 4; i++) mesh.triangles[i] = int32_t(index[i]);
  if (!colors.empty()) {
    size_t noColors = colors.size() / 3;
    mesh.colorBinding = noColors == mesh.noVertices ? 2 : 1;
    mesh.colors = floats(colors, noColors * 3);
  }
  if (hasNormals && normals.size() / 3 >= mesh.noVertices) {
    mesh.hasNormals = 1;
    mesh.normals = floats(normals, size_t(mesh.noVertices) * 3);
  }
  if (hasCoords && hasImage && image.size() >= 3 && coords.size() >= size_t(mesh.noTriangles) * 6 &&
      image[0] > 0 && image[2] == 3) {
    mesh.hasTexture = 1;
    mesh.texCoords = floats(coords, size_t(mesh.noTriangles) * 6);
    mesh.imageWidth = uint32_t(image[0]);
    mesh.imageHeight = uint32_t(image[1]);
    size_t noPixels = size_t(mesh.imageWidth) * mesh.imageHeight;
    mesh.image = new unsigned char[noPixels * 3];
    for (size_t p = 0; p < noPixels; p++) {
      uint32_t rgb = uint32_t(image[3 + p]);
      mesh.image[3 * p] = uint8_t(rgb >> 16);
      mesh.image[3 * p + 1] = uint8_t(rgb >> 8);
      mesh.image[3 * p + 2] = uint8_t(rgb);
    }
  }
  return true;
}

// The shared meshes, by file name.
inline std::string path(const char* name) { return std::string(LUMO_MESHES) + "/" + name; }

}  // namespace meshfile

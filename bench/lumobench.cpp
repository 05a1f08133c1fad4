// lumobench: times the codec on the shared meshes and on generated spheres and prints the tables of
// docs/performance.md. For every mesh it takes the median of several runs of each step: the encoder's
// phases (octree, initial pairs, merging, final pass) and its stream writing, whole-stream decoding,
// decoding in 1024-byte pieces, the direct hand-off, a level sweep and the Inventor import; it measures
// the peak memory of encoding and of decoding in a fresh process each (the high-water mark of resident
// memory above what the process held before the step), and checks the streams of the generated meshes
// against their recorded digests.
//
//   lumobench [--runs N] [--no-import] [mesh ...]
//   lumobench --memory encode|decode mesh streamfile     (the child run that measures one peak)
//
// A mesh is a file name under the shared meshes folder (spot.iv) or a generated sphere (sphere-1m).
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/nodes/SoSeparator.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LumoDecoder.h"
#include "LumoEncoder.h"
#include "LumoEncoderIv.h"
#include "MeshGenerator.h"
#include "StreamDigest.h"
#include "../tests/MeshFile.h"

namespace {

const uint32_t bufferSize = 1024;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool isGenerated(const std::string& name) { return streamdigest::findGeneratedMesh(name.c_str()) != nullptr; }

bool loadMesh(const std::string& name, LumoBrep& mesh) {
  if (const streamdigest::GeneratedMesh* generated = streamdigest::findGeneratedMesh(name.c_str())) {
    meshgen::generate(generated->options, mesh);
    return true;
  }
  return meshfile::read(meshfile::path(name.c_str()), mesh);
}

std::vector<unsigned char> flatten(const LumoBitstream* chain) {
  std::vector<unsigned char> bytes;
  for (; chain; chain = chain->next) bytes.insert(bytes.end(), chain->data, chain->data + chain->length);
  return bytes;
}

LumoBitstream* newBuffer(const unsigned char* bytes, size_t length) {
  LumoBitstream* buffer = new LumoBitstream;
  buffer->next = nullptr;
  buffer->length = uint32_t(length);
  buffer->data = new unsigned char[length ? length : 1];
  std::memcpy(buffer->data, bytes, length);
  return buffer;
}

// The buffers a stream file gives when read in pieces of `piece` bytes.
std::vector<LumoBitstream*> cut(const std::vector<unsigned char>& stream, size_t piece) {
  std::vector<LumoBitstream*> buffers;
  for (size_t at = 0; at < stream.size(); at += piece)
    buffers.push_back(newBuffer(stream.data() + at, std::min(piece, stream.size() - at)));
  return buffers;
}

// Times of the tree build's phases, gathered through the encoder's phase hook.
struct PhaseTimes {
  double start;
  double seconds[lumoNoBuildPhases];
};

void notePhase(void* context, int phase) {
  PhaseTimes* times = static_cast<PhaseTimes*>(context);
  double t = now();
  times->seconds[phase] = t - times->start;
  times->start = t;
}

struct Result {
  std::string name;
  uint32_t noVertices = 0, noTriangles = 0;
  double phase[lumoNoBuildPhases] = {};
  double write = 0, decodeWhole = 0, decodePieces = 0, handOff = 0, sweep = 0, import = -1;
  size_t bytes = 0;
  double encodePeak = 0, decodePeak = 0;   // bytes per vertex
  const char* digestState = "";
};

// Encodes `mesh` once: the tree build with its phase times, then the stream writing.
LumoBitstream* encodeOnce(const LumoBrep& mesh, double* phase, double& write) {
  LumoEncoder encoder;
  LumoBrep copy = mesh;
  encoder.setBrep(copy);
  PhaseTimes times;
  encoder.phaseHook = notePhase;
  encoder.phaseContext = &times;
  times.start = now();
  encoder.generateClusterTree();
  for (int p = 0; p < lumoNoBuildPhases; p++) phase[p] = times.seconds[p];
  double t0 = now();
  LumoBitstream* chain = encoder.getBitstream(bufferSize);
  write = now() - t0;
  return chain;
}

double timeWholeDecode(const std::vector<unsigned char>& stream) {
  LumoDecoder decoder;
  decoder.setMemoryLimit(uint64_t(1) << 40);
  LumoBitstream* whole = newBuffer(stream.data(), stream.size());
  double t0 = now();
  decoder.addBitstream(whole);
  decoder.decodeBitstream();
  return now() - t0;
}

double timePieceDecode(const std::vector<unsigned char>& stream) {
  LumoDecoder decoder;
  decoder.setMemoryLimit(uint64_t(1) << 40);
  std::vector<LumoBitstream*> buffers = cut(stream, bufferSize);
  double t0 = now();
  for (LumoBitstream* buffer : buffers) {
    decoder.addBitstream(buffer);
    decoder.decodeBitstream();
  }
  return now() - t0;
}

// full → 0 → full in 100 steps each way.
double timeSweep(LumoDecoder& decoder) {
  const unsigned int full = decoder.setAvailableNoTriangles();
  double t0 = now();
  for (int step = 99; step >= 0; step--) decoder.setNoTriangles(unsigned(uint64_t(full) * step / 100));
  for (int step = 1; step <= 100; step++) decoder.setNoTriangles(unsigned(uint64_t(full) * step / 100));
  return now() - t0;
}

double timeSweepOfStream(const std::vector<unsigned char>& stream) {
  LumoDecoder decoder;
  decoder.setMemoryLimit(uint64_t(1) << 40);
  decoder.addBitstream(newBuffer(stream.data(), stream.size()));
  decoder.decodeBitstream();
  return timeSweep(decoder);
}

// The hand-off rewrites the encoder's triangle table, so it works on a copy of the mesh.
double timeHandOff(const LumoBrep& mesh) {
  LumoBrep* copy = mesh.copyBrep();
  if (mesh.hasTexture) {
    copy->imageWidth = mesh.imageWidth;
    copy->imageHeight = mesh.imageHeight;
  }
  double seconds;
  {
    LumoEncoder encoder;
    encoder.setBrep(*copy);
    encoder.generateClusterTree();
    LumoDecoder decoder;
    double t0 = now();
    encoder.initDecoder(&decoder);
    seconds = now() - t0;
  }
  copy->deleteLists();
  delete copy;
  return seconds;
}

double timeImport(const std::string& file) {
  SoInput input;
  double t0 = now();
  if (!input.openFile(file.c_str(), TRUE)) return -1;
  SoSeparator* scene = SoDB::readAll(&input);
  if (!scene) return -1;
  scene->ref();
  LumoEncoderIv encoder;
  bool imported = encoder.setIvObject(scene);
  double seconds = now() - t0;
  scene->unref();
  return imported ? seconds : -1;
}

std::string tempPath(const std::string& name, const char* suffix) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/lumobench-" + std::to_string(getpid()) + "-" + name + suffix;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, file) == 1;
  return std::fclose(file) == 0 && ok;
}

// Resident high-water mark from /proc, in bytes; writing 5 to clear_refs sets it back to the current
// resident size, so that each step's peak can be taken on its own.
long long highWaterMark() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  return -1;
}

long long residentSize() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  return -1;
}

bool resetHighWaterMark() {
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (!file) return false;
  std::fputs("5", file);
  return std::fclose(file) == 0;
}

// The child side of a memory measurement: prints the peak in bytes above the resident size at the
// step's start. Encoding keeps the stream it wrote; decoding reads the stream file in 1024-byte
// pieces as the viewer does.
int measureMemory(const char* step, const std::string& name, const char* streamFile) {
  LumoBrep mesh;
  if (!loadMesh(name, mesh)) return 1;
  long long before;
  if (std::strcmp(step, "encode") == 0) {
    malloc_trim(0);
    resetHighWaterMark();
    before = residentSize();
    LumoEncoder encoder;
    encoder.setBrep(mesh);
    LumoBitstream* chain = encoder.getBitstream(bufferSize);
    std::printf("%lld\n", highWaterMark() - before);
    deleteBitstream(chain);
  } else {
    mesh.deleteLists();
    malloc_trim(0);
    FILE* file = std::fopen(streamFile, "rb");
    if (!file) return 1;
    resetHighWaterMark();
    before = residentSize();
    LumoDecoder decoder;
    decoder.setMemoryLimit(uint64_t(1) << 40);
    while (!std::feof(file)) {
      LumoBitstream* buffer = new LumoBitstream;
      buffer->next = nullptr;
      buffer->data = new unsigned char[bufferSize];
      buffer->length = uint32_t(std::fread(buffer->data, 1, bufferSize, file));
      decoder.addBitstream(buffer);
      decoder.decodeBitstream();
    }
    std::fclose(file);
    decoder.setAvailableNoTriangles();
    std::printf("%lld\n", highWaterMark() - before);
    return 0;
  }
  mesh.deleteLists();
  return 0;
}

// Runs this program again as a child for one memory measurement; -1 when that fails.
double childPeak(const char* self, const char* step, const std::string& name, const std::string& stream) {
  std::string command = std::string(self) + " --memory " + step + " " + name + " " + stream;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  long long peak = -1;
  if (std::fscanf(pipe, "%lld", &peak) != 1) peak = -1;
  return pclose(pipe) == 0 ? double(peak) : -1;
}

Result measure(const char* self, const std::string& name, int runs, bool withImport) {
  Result result;
  result.name = name;
  LumoBrep mesh;
  if (!loadMesh(name, mesh)) {
    std::fprintf(stderr, "cannot read %s\n", name.c_str());
    std::exit(1);
  }
  result.noVertices = mesh.noVertices;
  result.noTriangles = mesh.noTriangles;

  std::vector<double> phases[lumoNoBuildPhases], writes, wholes, pieces, handOffs, sweeps, imports;
  std::vector<unsigned char> stream;
  for (int run = 0; run < runs; run++) {
    double phase[lumoNoBuildPhases], write;
    LumoBitstream* chain = encodeOnce(mesh, phase, write);
    for (int p = 0; p < lumoNoBuildPhases; p++) phases[p].push_back(phase[p]);
    writes.push_back(write);
    if (run == 0) {
      stream = flatten(chain);
      if (const streamdigest::GeneratedMesh* generated = streamdigest::findGeneratedMesh(name.c_str())) {
        uint64_t digest = streamdigest::fnv1a(chain);
        result.digestState = generated->digest == 0 ? "unrecorded"
                             : generated->digest == digest ? "ok" : "DIFFERS";
        std::fprintf(stderr, "%s digest 0x%016llx\n", name.c_str(), (unsigned long long)digest);
      }
    }
    deleteBitstream(chain);
  }
  result.bytes = stream.size();
  for (int run = 0; run < runs; run++) {
    wholes.push_back(timeWholeDecode(stream));
    pieces.push_back(timePieceDecode(stream));
    sweeps.push_back(timeSweepOfStream(stream));
    handOffs.push_back(timeHandOff(mesh));
  }

  std::string streamFile = tempPath(name, ".lumo");
  if (writeFile(streamFile, stream)) {
    result.encodePeak = childPeak(self, "encode", name, streamFile) / mesh.noVertices;
    result.decodePeak = childPeak(self, "decode", name, streamFile) / mesh.noVertices;
  }
  std::remove(streamFile.c_str());

  if (withImport) {
    std::string ivFile = meshfile::path(name.c_str());
    if (isGenerated(name)) {
      ivFile = tempPath(name, ".iv");
      meshgen::writeIv(mesh, ivFile);
    }
    for (int run = 0; run < runs; run++) imports.push_back(timeImport(ivFile));
    if (isGenerated(name)) std::remove(ivFile.c_str());
    result.import = median(imports);
  }
  mesh.deleteLists();

  for (int p = 0; p < lumoNoBuildPhases; p++) result.phase[p] = median(phases[p]);
  result.write = median(writes);
  result.decodeWhole = median(wholes);
  result.decodePieces = median(pieces);
  result.handOff = median(handOffs);
  result.sweep = median(sweeps);
  return result;
}

double ms(double seconds) { return seconds * 1000; }

void printTables(const std::vector<Result>& results) {
  std::printf("\nEncoding (milliseconds, median of the runs; Mtri/s = triangles per second of tree build "
              "plus writing)\n\n");
  std::printf("| mesh | vertices | triangles | octree | initial pairs | corner lists + merging | final pass "
              "| writing | encode total | Mtri/s | peak B/vertex | bits/vertex | digest |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (const Result& r : results) {
    double total = r.write;
    for (double p : r.phase) total += p;
    std::printf("| %s | %u | %u | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | %.0f | %.1f | %s |\n",
                r.name.c_str(), r.noVertices, r.noTriangles, ms(r.phase[0]), ms(r.phase[1]),
                ms(r.phase[2]), ms(r.phase[3]), ms(r.write), ms(total), r.noTriangles / total / 1e6,
                r.encodePeak, r.bytes * 8.0 / r.noVertices, r.digestState);
  }
  std::printf("\nDecoding (milliseconds, median of the runs)\n\n");
  std::printf("| mesh | whole stream | Mtri/s | 1024-byte pieces | Mtri/s | hand-off | level sweep "
              "| Inventor import | peak B/vertex |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Result& r : results) {
    std::string import = r.import < 0 ? "-" : std::to_string(int(ms(r.import) + 0.5));
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | %s | %.0f |\n", r.name.c_str(),
                ms(r.decodeWhole), r.noTriangles / r.decodeWhole / 1e6, ms(r.decodePieces),
                r.noTriangles / r.decodePieces / 1e6, ms(r.handOff), ms(r.sweep), import.c_str(),
                r.decodePeak);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--memory") == 0) return measureMemory(argv[2], argv[3], argv[4]);

  int runs = 5;
  bool withImport = true;
  std::vector<std::string> names;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
      runs = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--no-import") == 0)
      withImport = false;
    else
      names.push_back(argv[i]);
  }
  if (names.empty())
    names = {"spot.iv", "cow.iv", "fandisk.iv", "bunny.iv", "horse.iv",
             "sphere-100k", "sphere-100k-full", "sphere-1m", "sphere-4m"};

  SoDB::init();
  std::vector<Result> results;
  bool digestsHold = true;
  for (const std::string& name : names) {
    std::fprintf(stderr, "measuring %s\n", name.c_str());
    // Large meshes take long per run; fewer runs keep the whole table within minutes.
    size_t noTriangles = 0;
    if (const streamdigest::GeneratedMesh* generated = streamdigest::findGeneratedMesh(name.c_str()))
      noTriangles = meshgen::noTriangles(generated->options.frequency);
    int meshRuns = runs;
    if (noTriangles > 2000000)
      meshRuns = std::min(runs, 1);
    else if (noTriangles > 500000)
      meshRuns = std::min(runs, 3);
    results.push_back(measure(argv[0], name, meshRuns, withImport));
    if (std::strcmp(results.back().digestState, "DIFFERS") == 0) digestsHold = false;
  }
  printTables(results);
  if (!digestsHold) std::printf("\nSTREAM DIGEST MISMATCH: an encoder change altered a stream\n");
  return digestsHold ? 0 : 2;
}

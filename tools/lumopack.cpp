// lumopack: the converter. Reads an Inventor scene file, imports its mesh into the encoder, lets the
// encoder build the cluster tree and write the stream into 1024-byte buffers, and writes the buffers in
// chain order to the stream file that lumoplay reads. Every failure is one line on standard output and
// exit status 1; a conversion prints nothing and ends with status 0.
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/Xt/SoXt.h>
#include <Inventor/nodes/SoSeparator.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "LumoEncoderIv.h"

namespace {

// The stream file is the first `length` bytes of every buffer, in chain order, and nothing else.
bool writeChain(const LumoBitstream* chain, FILE* file) {
  for (; chain; chain = chain->next)
    if (chain->length != 0 && fwrite(chain->data, chain->length, 1, file) != 1) return false;
  return true;
}

bool isRegularFile(FILE* file) {
  struct stat status;
  return fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode);
}

// Writes the stream and closes the file. A partial stream is of no use to a reader, so after a failed
// write or close the file is removed, unless it is not a file of its own (a device, a pipe).
bool writeStreamFile(const LumoBitstream* chain, FILE* file, const char* name) {
  const bool regular = isRegularFile(file);
  bool written = writeChain(chain, file);
  if (fclose(file) != 0) written = false;
  if (!written && regular) unlink(name);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  SoInput input;
  if (argc != 3) {
    puts("lumopack inventorfile lumofile");
    exit(1);
  }
  if (!SoXt::init(argv[0], "Inventor")) exit(1);

  if (!input.openFile(argv[1], FALSE)) {
    puts("can't open inventorfile");
    exit(1);
  }
  SoSeparator* scene = SoDB::readAll(&input);
  if (!scene) {
    puts("error reading inventorfile");
    exit(1);
  }
  input.closeFile();
  // The searches of the import hold paths into the scene; a reference keeps it alive past them.
  scene->ref();

  LumoEncoderIv* encoder = new LumoEncoderIv;
  if (!encoder->setIvObject(scene)) {
    delete encoder;
    puts("error in inventorfile");
    exit(1);
  }

  // Opened only now, so that a failure above leaves an existing output file as it was.
  FILE* file = fopen(argv[2], "w");
  if (!file) {
    delete encoder;
    puts("errror opening lumofile");
    exit(1);
  }
  LumoBitstream* chain = encoder->getBitstream(1024);
  const bool written = writeStreamFile(chain, file, argv[2]);
  deleteBitstream(chain);
  delete encoder;
  if (!written) {
    puts("errror writing lumofile");
    exit(1);
  }
  return 0;
}

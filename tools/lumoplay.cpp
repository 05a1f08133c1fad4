// lumoplay: the stream viewer. Reads a stream file in 1024-byte buffers into the Inventor decoder, decodes
// it whole, and shows the mesh in an examiner viewer with a Motif scroll bar that sets how many triangles
// are shown; every move of the scroll bar prints the triangle count the decoder settled on.
#include <Inventor/Xt/SoXt.h>
#include <Inventor/Xt/viewers/SoXtExaminerViewer.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoShapeHints.h>
#include <Xm/ScrollBar.h>

#include <cstdio>
#include <cstdlib>

#include "LumoDecoderIv.h"

LumoDecoderIv* decoder;

// Value and maximum are filled in from the stream's triangle count before the scroll bar is created; with
// a slider of size 1 the value then runs from 0 to that count.
static Arg scrollbarArgs[] = {
    {const_cast<String>(XmNvalue), 0},
    {const_cast<String>(XmNmaximum), 0},
    {const_cast<String>(XmNsliderSize), 1},
    {const_cast<String>(XmNx), 5},
    {const_cast<String>(XmNheight), 225},
};

static void scrollbarCallback(Widget, XtPointer, XtPointer callData) {
  XmScrollBarCallbackStruct* scroll = static_cast<XmScrollBarCallbackStruct*>(callData);
  printf("max %u triangles\n", decoder->setNoTriangles(unsigned(scroll->value)));
}

// Every buffer is handed over, the last one too, which holds fewer bytes or none. A failed read ends the
// reading: a file in error may never report its end.
static bool readStream(FILE* file) {
  do {
    LumoBitstream* bitstream = new LumoBitstream;
    bitstream->next = nullptr;
    bitstream->data = new unsigned char[1024];
    bitstream->length = uint32_t(fread(bitstream->data, 1, 1024, file));
    decoder->addBitstream(bitstream);
    if (ferror(file)) {
      puts("error reading lumofile");
      return false;
    }
  } while (!feof(file));
  return true;
}

static SoSeparator* buildScene() {
  SoShapeHints* hints = new SoShapeHints;
  hints->vertexOrdering = SoShapeHints::COUNTERCLOCKWISE;
  hints->shapeType = SoShapeHints::SOLID;
  SoSeparator* root = new SoSeparator;
  root->ref();
  root->addChild(hints);
  root->addChild(decoder->getIvObject());
  return root;
}

static SoXtExaminerViewer* showViewer(Widget mainWindow, SoSeparator* root) {
  SoXtExaminerViewer* viewer =
      new SoXtExaminerViewer(mainWindow, nullptr, TRUE, SoXtFullViewer::BUILD_ALL, SoXtViewer::BROWSER);
  viewer->setTitle("lumoplay");
  viewer->setSceneGraph(root);
  viewer->show();
  SoXt::show(mainWindow);
  return viewer;
}

static void addScrollbar(SoXtExaminerViewer* viewer) {
  unsigned int maxNoTriangles = decoder->getMaxNoTriangles();
  scrollbarArgs[0].value = XtArgVal(maxNoTriangles);
  scrollbarArgs[1].value = XtArgVal(maxNoTriangles) + 1;
  Widget scrollbar = XtCreateManagedWidget("", xmScrollBarWidgetClass, viewer->getWidget(), scrollbarArgs,
                                           XtNumber(scrollbarArgs));
  XtAddCallback(scrollbar, XmNdragCallback, scrollbarCallback, nullptr);
  XtAddCallback(scrollbar, XmNvalueChangedCallback, scrollbarCallback, nullptr);
  XtRealizeWidget(scrollbar);
}

int main(int argc, char** argv) {
  // The viewer never ends by itself, so a line left in a buffer would reach a pipe only when it is killed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc != 2) {
    puts("lumoplay lumofile");
    exit(1);
  }
  Widget mainWindow = SoXt::init(argv[0], "Inventor");
  if (!mainWindow) exit(1);
  decoder = new LumoDecoderIv;

  FILE* file = fopen(argv[1], "r");
  if (!file) {
    puts("errror opening lumofile");
    exit(1);
  }
  bool complete = readStream(file);
  fclose(file);
  if (!complete) exit(1);

  decoder->decodeBitstream();
  // What was decoded before the damage is still a valid coarser mesh, so it is shown.
  if (decoder->isDamaged()) puts("error in lumofile");
  decoder->setAvailableNoTriangles();

  SoXtExaminerViewer* viewer = showViewer(mainWindow, buildScene());
  addScrollbar(viewer);
  SoXt::mainLoop();
  return 0;
}

// roundtrip: shows the mesh of an Inventor file at any triangle count with no stream in between. The mesh
// is imported into an encoder, whose cluster tree goes straight to a decoder that keeps an Inventor node
// group current; an examiner viewer shows that group, and a scroll bar sets the triangle count. Viewer,
// scroll bar and callback are those of lumoplay.
//
//   roundtrip inventorfile
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/Xt/SoXt.h>
#include <Inventor/Xt/viewers/SoXtExaminerViewer.h>
#include <Inventor/nodes/SoSeparator.h>
#include <Inventor/nodes/SoShapeHints.h>
#include <Xm/ScrollBar.h>

#include <cstdio>
#include <cstdlib>

#include "LumoDecoderIv.h"
#include "LumoEncoderIv.h"

// The program's one decoder; the scroll bar callback reaches it here.
LumoDecoderIv* decoder;

// Value and maximum are filled in from the mesh's triangle count before the scroll bar is created; with
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

// The shown scene: shape hints for a solid, counter-clockwise mesh, then the decoder's node group.
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
  viewer->setTitle("roundtrip");
  viewer->setSceneGraph(root);
  viewer->show();
  SoXt::show(mainWindow);
  return viewer;
}

static void addScrollbar(SoXtExaminerViewer* viewer) {
  unsigned int maxNoTriangles = decoder->getMaxNoTriangles();
  scrollbarArgs[0].value = XtArgVal(maxNoTriangles);
  scrollbarArgs[1].value = XtArgVal(maxNoTriangles) + 1;
  Widget scrollbar = XtCreateManagedWidget("", xmScrollBarWidgetClass, viewer->getWidget(),
                                           scrollbarArgs, XtNumber(scrollbarArgs));
  XtAddCallback(scrollbar, XmNdragCallback, scrollbarCallback, nullptr);
  XtAddCallback(scrollbar, XmNvalueChangedCallback, scrollbarCallback, nullptr);
  XtRealizeWidget(scrollbar);
}

int main(int argc, char** argv) {
  SoInput input;
  // The viewer never ends by itself, so a line left in a buffer would reach a pipe only when it is killed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc != 2) {
    puts("roundtrip inventorfile");
    exit(1);
  }
  Widget mainWindow = SoXt::init(argv[0], "Inventor");
  if (!mainWindow) exit(1);
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

  // The encoder lives as long as the process: it owns the mesh arrays that the decoder borrows.
  LumoEncoderIv* encoder = new LumoEncoderIv;
  decoder = new LumoDecoderIv;
  if (!encoder->setIvObject(scene)) {
    puts("error in inventorfile");
    exit(1);
  }
  encoder->initDecoder(decoder);
  decoder->setAvailableNoTriangles();

  SoXtExaminerViewer* viewer = showViewer(mainWindow, buildScene());
  addScrollbar(viewer);
  SoXt::mainLoop();
  return 0;
}

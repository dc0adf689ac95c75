// pontaro-viewer: streams a data set of the point server and draws it as lit, oriented splats.
#include "Viewer.h"

int main(int argc, char** argv) { return viewerMain(argc, argv); }

#pragma once
// The viewer: one SDL window and GL context for the whole run, the data-set chooser, the connection to a
// data set of the point server, and the frame loop. Main thread only.
#include "GeometryTypes.h"
#include "LASHeader.h"

#include <memory>
#include <string>

class RenderSelectionThread;
class TreeView;

extern std::string treePath, treeFilename;
extern const std::string DEFAULT_DATASET;
extern LASHeader retrievedHeader;
extern int levelNum;
extern BBox3D bounds;
extern double largestDim;
extern RenderSelectionThread* lodThread;
// The local tree open instead of a served data set (--tree DIR), or null.
extern TreeView* treeView;
bool openTree(const std::string& directory);

void GL_Setup(int w, int h);
void initGlew();
// Connects to `name` (DEFAULT_DATASET when null): metadata, checks, selection and cache threads. False,
// with the reason in `why` (also printed), when the data set cannot be shown.
bool initConnection(const std::string* name, std::string* why = nullptr);
// Why a header and level count cannot be shown, or empty when they can.
std::string checkDataset(const LASHeader& header, int levels);

class GUI;
// The settings panel with its entries and defaults.
// The settings panel with its entries and defaults; a local tree adds "Optimize surfaces".
std::unique_ptr<GUI> makeSettingsPanel(int width, int height, double minProjectedSize, bool localTree = false);

// The base URL of the point server's protocol from a --server argument: a host, host:port or URL; the
// protocol's path is added when the URL has none. Empty when the argument cannot be one.
std::string serverBaseUrl(const std::string& given);

int viewerMain(int argc, char** argv);

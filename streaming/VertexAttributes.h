#pragma once
// Vertex attribute locations shared by the splat buffers and every point and triangle program: the
// programs bind these names before linking, the tile cache points the buffers at them.
constexpr unsigned positionAtt = 0; // "vPosition": three raw 32-bit integer coordinates
constexpr unsigned normalAtt = 2;   // "vNormal": three floats
constexpr unsigned colorAtt = 3;    // "vColor": three normalised unsigned 16-bit channels
constexpr unsigned attributesAtt = 4; // "vAttributes": PointAttributes as four unsigned bytes (not normalised)
constexpr unsigned texAtt = 8;      // "vTexCoords": triangle programs only

// Normals (and colours) of triangle meshes, unit weight; a texture of normals rendered from the splats may
// replace the interpolated ones.
varying vec3 worldNormal;
varying vec3 colour;
varying vec2 texCoords;
uniform sampler2D normalTex;
#ifndef EXCLUDE_COLORS
uniform sampler2D colorTex;
#endif

void main() {
    // Vertex normals turned towards the camera one by one can cancel inside a triangle seen edge-on.
    float len = length(worldNormal);
    vec3 n = len > 1e-6 ? worldNormal / len : vec3(0.0, 0.0, 1.0);
    gl_FragData[0] = vec4(n, 1.0);
#ifndef EXCLUDE_COLORS
    gl_FragData[1] = vec4(colour, 1.0);
#endif
}

// Normals (and colours) of triangle meshes, unit weight. The meshes of optimised surfaces take them from the
// textures their splats were rendered into; the tile meshes from their vertices (both switches off).
varying vec3 worldNormal;
varying vec3 colour;
varying vec2 texCoords;
uniform sampler2D normalTex;
uniform bool normalFromTexture;
#ifndef EXCLUDE_COLORS
uniform sampler2D colorTex;
uniform bool colorFromTexture;
#endif

void main() {
    // Vertex normals turned towards the camera one by one can cancel inside a triangle seen edge-on.
    float len = length(worldNormal);
    vec3 n = len > 1e-6 ? worldNormal / len : vec3(0.0, 0.0, 1.0);
    if (normalFromTexture) {
        // Stored as n * 0.5 + 0.5; turned to the side the vertex normal faces (towards the camera).
        vec3 t = texture2D(normalTex, texCoords).xyz * 2.0 - 1.0;
        if (length(t) > 1e-3) {
            t = normalize(t);
            n = dot(t, n) < 0.0 ? -t : t;
        }
    }
    gl_FragData[0] = vec4(n, 1.0);
#ifndef EXCLUDE_COLORS
    gl_FragData[1] = vec4(colorFromTexture ? texture2D(colorTex, texCoords).rgb : colour, 1.0);
#endif
}

// Normalises accumulated normals (and colours) into a texture of surfaces: the weight-divided values,
// with brightness and contrast applied to colours.
uniform sampler2D normalTex;
#ifndef EXCLUDE_COLORS
uniform sampler2D colorTex;
uniform float brightness;
uniform float contrast;
#endif

void main() {
    vec2 uv = gl_TexCoord[0].xy;
    vec3 summed = texture2D(normalTex, uv).xyz;
    vec3 n = length(summed) > 0.0 ? normalize(summed) : vec3(0.0, 0.0, 1.0);
    gl_FragData[0] = vec4(n * 0.5 + 0.5, 1.0);
#ifndef EXCLUDE_COLORS
    vec4 c = texture2D(colorTex, uv);
    vec3 base = c.a > 0.0 ? c.rgb / c.a : vec3(0.0);
    gl_FragData[1] = vec4(clamp(((base - 0.5) * contrast + 0.5) * brightness, 0.0, 1.0), 1.0);
#endif
}

// Final image: the accumulated normal and colour of each pixel, divided by the accumulated weight, in the
// colour mode (0 plain, 1 the data's colour, 2 normals, 3 depth), lit when USE_LIGHTING is defined,
// shaded by eye-dome lighting when edlStrength is positive, then brightness and contrast. Pixels no splat
// covered stay black.
uniform sampler2D depthTex;
uniform sampler2D normalTex;
#ifndef EXCLUDE_COLORS
uniform sampler2D colorTex;
#endif
uniform float viewportWidth;
uniform float viewportHeight;
uniform float drawMode;
uniform float brightness;
uniform float contrast;
uniform float radius;
uniform mat4 inverseM;
uniform vec3 camPos;
uniform float edlStrength;
uniform vec2 nearFar; // of the projection the depth was drawn with

float logDepth(float windowDepth) {
    float z = windowDepth * 2.0 - 1.0;
    float n = nearFar.x, f = nearFar.y;
    return log2(2.0 * n * f / (f + n - z * (f - n)));
}

// Eye-dome lighting: darkens a pixel by how far its neighbours lie in front of it (in log depth), which
// outlines every step in depth. Neighbours without splats count as infinitely far.
float eyeDome(vec2 uv, float depth) {
    float centre = logDepth(depth);
    float response = 0.0;
    for (int i = 0; i < 8; ++i) {
        float a = float(i) * 0.785398;
        vec2 offset = vec2(cos(a), sin(a)) * 1.5 / vec2(viewportWidth, viewportHeight);
        float d = texture2D(depthTex, uv + offset).r;
        if (d < 1.0)
            response += max(0.0, centre - logDepth(d));
    }
    return exp(-response / 8.0 * 100.0 * edlStrength);
}

void main() {
    vec2 uv = gl_FragCoord.xy / vec2(viewportWidth, viewportHeight);
    float depth = texture2D(depthTex, uv).r;
    if (depth >= 1.0) {
        gl_FragColor = vec4(0.0, 0.0, 0.0, 1.0);
        return;
    }
    vec3 summed = texture2D(normalTex, uv).xyz;
    vec3 n = length(summed) > 0.0 ? normalize(summed) : vec3(0.0, 0.0, 1.0);
    vec4 world = inverseM * vec4(uv * 2.0 - 1.0, depth * 2.0 - 1.0, 1.0);
    world /= world.w;
    vec3 base = vec3(0.8);
#ifndef EXCLUDE_COLORS
    vec4 c = texture2D(colorTex, uv);
    if (c.a > 0.0)
        base = c.rgb / c.a;
#endif
    if (drawMode > 1.5 && drawMode < 2.5)
        base = n * 0.5 + 0.5;
    else if (drawMode > 2.5)
        base = vec3(1.0 / (1.0 + 0.25 * distance(world.xyz, camPos)));
#ifdef USE_LIGHTING
    vec3 sun = normalize(vec3(0.35, 0.25, 1.0));
    vec3 view = normalize(camPos - world.xyz);
    base *= 0.25 + 0.55 * max(dot(n, sun), 0.0) + 0.3 * max(dot(n, view), 0.0);
#endif
    if (edlStrength > 0.0)
        base *= eyeDome(uv, depth);
    vec3 shaded = ((base - 0.5) * contrast + 0.5) * brightness;
    gl_FragColor = vec4(clamp(shaded, 0.0, 1.0), 1.0);
}

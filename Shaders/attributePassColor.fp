// Sums the normals (and colours) of every splat that lies on the visible surface, each weighted by a
// smooth radial falloff; the shading pass divides by the summed weight. EXCLUDE_COLORS leaves colours out.
varying vec3 worldNormal;
varying vec3 eyeNormal;
varying vec3 eyeCentre;
varying float eyeRadius;
varying vec2 windowCentre;
varying float pixelRadius;
varying vec3 colour;

float windowDepth(float eyeZ) {
    float clipZ = gl_ProjectionMatrix[2][2] * eyeZ + gl_ProjectionMatrix[3][2];
    return clamp(clipZ / -eyeZ * 0.5 + 0.5, 0.0, 1.0);
}

void main() {
    vec2 c = (gl_FragCoord.xy - windowCentre) / pixelRadius;
    vec3 n = eyeNormal;
    float nz = n.z < 0.0 ? min(n.z, -0.2) : max(n.z, 0.2);
    float dz = -(n.x * c.x + n.y * c.y) / nz;
    float r2 = dot(c, c) + dz * dz;
    if (r2 > 1.0)
        discard;
    gl_FragDepth = windowDepth(eyeCentre.z + dz * eyeRadius);
    float w = (1.0 - r2) * (1.0 - r2) + 1e-3;
    gl_FragData[0] = vec4(worldNormal * w, w);
#ifndef EXCLUDE_COLORS
    gl_FragData[1] = vec4(colour * w, w);
#endif
}

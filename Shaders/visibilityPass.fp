// Depth of each splat's disc, pushed back by a fraction of its radius so that the attribute pass blends
// the overlapping splats of one surface instead of keeping only the nearest.
varying vec3 eyeNormal;
varying vec3 eyeCentre;
varying float eyeRadius;
varying vec2 windowCentre;
varying float pixelRadius;

float windowDepth(float eyeZ) {
    float clipZ = gl_ProjectionMatrix[2][2] * eyeZ + gl_ProjectionMatrix[3][2];
    return clamp(clipZ / -eyeZ * 0.5 + 0.5, 0.0, 1.0);
}

void main() {
    vec2 c = (gl_FragCoord.xy - windowCentre) / pixelRadius;
    vec3 n = eyeNormal;
    float nz = n.z < 0.0 ? min(n.z, -0.2) : max(n.z, 0.2);
    float dz = -(n.x * c.x + n.y * c.y) / nz; // the disc's plane under this pixel
    float r2 = dot(c, c) + dz * dz;
    if (r2 > 1.0)
        discard;
    gl_FragDepth = windowDepth(eyeCentre.z + dz * eyeRadius - eyeRadius);
}

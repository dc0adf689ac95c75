// Depth of the triangles only; the colour writes are masked by the pass.
void main() {
    gl_FragColor = vec4(1.0);
}

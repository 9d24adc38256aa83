// Glyph quads arrive in device coordinates: xy is the position, zw the
// place in the glyph bitmap.
attribute vec4 coord;
varying mediump vec2 glyph_uv;

void main(void)
{
    gl_Position = vec4(coord.xy, 0.0, 1.0);
    glyph_uv = coord.zw;
}

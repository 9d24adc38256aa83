// The glyph bitmap holds coverage in alpha; blending turns it into
// anti-aliased edges of the text colour.
varying mediump vec2 glyph_uv;
uniform sampler2D tex;
uniform lowp vec4 color;

void main(void)
{
    gl_FragColor = vec4(color.rgb, color.a * texture2D(tex, glyph_uv).a);
}

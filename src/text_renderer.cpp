#include "text_renderer.h"

#include <GL/glew.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cmath>
#include <cstdio>

#include "data_files.h"
#include "frame_stats.h"
#include "options.h"
#include "shader_utils.h"
#include "text_layout.h"

static FT_Library ft;
static FT_Face face;
static GLuint program = 0;
static GLint attribute_coord = -1;
static GLint uniform_tex = -1;
static GLint uniform_color = -1;
static GLuint vbo = 0;

int init_resources()
{
    if (FT_Init_FreeType(&ft)) {
        fprintf(stderr, "Could not init freetype library\n");
        return 0;
    }
    if (FT_New_Face(ft, fontfilename, 0, &face)) {
        fprintf(stderr, "Could not open font %s\n", fontfilename);
        return 0;
    }
    program = create_program(data_file("text.v.glsl").c_str(), data_file("text.f.glsl").c_str());
    if (program == 0)
        return 0;
    // All three are looked up first so that each missing one is reported.
    attribute_coord = get_attrib(program, "coord");
    uniform_tex = get_uniform(program, "tex");
    uniform_color = get_uniform(program, "color");
    if (attribute_coord == -1 || uniform_tex == -1 || uniform_color == -1)
        return 0;
    glGenBuffers(1, &vbo);
    return 1;
}

// Makes a texture for one call's bitmaps and points the quad input at the buffer.
static GLuint begin_bitmaps(GLint filter)
{
    GLuint tex;
    glActiveTexture(GL_TEXTURE0);
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glUniform1i(uniform_tex, 0);

    // FreeType bitmap rows are tightly packed bytes.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);

    glEnableVertexAttribArray(attribute_coord);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glVertexAttribPointer(attribute_coord, 4, GL_FLOAT, GL_FALSE, 0, nullptr);
    return tex;
}

static void end_bitmaps(GLuint tex)
{
    glDisableVertexAttribArray(attribute_coord);
    glDeleteTextures(1, &tex);
}

static void draw_bitmap(const unsigned char *pixels, unsigned width, unsigned rows, const GlyphQuad &quad)
{
    glTexImage2D(GL_TEXTURE_2D, 0, GL_ALPHA, width, rows, 0, GL_ALPHA, GL_UNSIGNED_BYTE, pixels);
    glBufferData(GL_ARRAY_BUFFER, sizeof quad, quad.data(), GL_DYNAMIC_DRAW);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
}

void render_text(const char *text, float x, float y, float sx, float sy)
{
    FT_GlyphSlot g = face->glyph;
    GLuint tex = begin_bitmaps(GL_LINEAR);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (FT_Load_Char(face, *p, FT_LOAD_RENDER))
            continue;
        draw_bitmap(g->bitmap.buffer, g->bitmap.width, g->bitmap.rows,
                    glyph_quad(x, y, sx, sy, g->bitmap_left, g->bitmap_top, g->bitmap.width, g->bitmap.rows));
        x += pen_step(g->advance.x, sx);
        y += pen_step(g->advance.y, sy);
    }
    end_bitmaps(tex);
}

void render_square(const unsigned char *pixels, unsigned side, float x, float y, float sx, float sy)
{
    // Sharp module edges: a blurred code is harder for a camera to read.
    GLuint tex = begin_bitmaps(GL_NEAREST);
    draw_bitmap(pixels, side, side, glyph_quad(x, y, sx, sy, 0, 0, side, side));
    end_bitmaps(tex);
}

void draw_tick_text(int width, int height)
{
    static const GLfloat white[4] = {1, 1, 1, 1};

    glUseProgram(program);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    FT_Set_Pixel_Sizes(face, 0, 48);
    glUniform4fv(uniform_color, 1, white);

    // A window with no area has no scale; the frame is still cleared and counted.
    if (width <= 0 || height <= 0)
        return;
    float sx = pixel_scale(width);
    float sy = pixel_scale(height);
    render_text(system_time, 8 * sx - 1, 1 - static_cast<float>(text_row(totalcount)) * sy, sx, sy);
}

void clear_box(int width, int height, const PixelBox &box, float grey)
{
    // On a scaled screen the viewport holds more buffer pixels than the logical size.
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    double kx = double(viewport[2]) / width, ky = double(viewport[3]) / height;
    glEnable(GL_SCISSOR_TEST);
    glScissor(GLint(std::lround(box.left * kx)), GLint(std::lround((height - box.top - box.height) * ky)),
              GLsizei(std::lround(box.width * kx)), GLsizei(std::lround(box.height * ky)));
    glClearColor(grey, grey, grey, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0, 0, 0, 1);
    glDisable(GL_SCISSOR_TEST);
}

void draw_input_marker(int width, int height)
{
    if (width > 0 && height > 0)
        clear_box(width, height, input_marker_box(text_row(totalcount)), 1);
}

void free_resources()
{
    glDeleteProgram(program);
}

// Shader utilities and text drawing on a real GL context, with standard error captured.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <fstream>
#include <vector>
#include <string>

#include "frame_stats.h"
#include "options.h"
#include "shader_utils.h"
#include "text_renderer.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const char vertex_source[] =
    "attribute vec4 coord;\n"
    "varying mediump vec2 uv;\n"
    "void main() { gl_Position = vec4(coord.xy, 0.0, 1.0); uv = coord.zw; }\n";
const char fragment_source[] =
    "varying mediump vec2 uv;\n"
    "uniform sampler2D tex;\n"
    "uniform lowp vec4 color;\n"
    "void main() { gl_FragColor = vec4(1.0, 1.0, 1.0, texture2D(tex, uv).a) * color; }\n";

std::string write(const std::string &name, const std::string &text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

// How many shader or program names are alive, to see a failure leave none behind.
int alive(GLboolean (*is)(GLuint))
{
    int n = 0;
    for (GLuint name = 1; name < 256; ++name)
        n += is(name);
    return n;
}

}  // namespace

TEST(ShaderUtils, BuildsProgramsAndReportsEveryFailure)
{
    std::string v = write("v.glsl", vertex_source), f = write("f.glsl", fragment_source);
    std::string bad = write("bad.glsl", "void main() { nonsense; }\n");
    std::string reader = write("reader.glsl", "varying vec4 never_written;\nvoid main() { gl_FragColor = never_written; }\n");
    std::string plain = write("plain.glsl", "void main() { gl_Position = vec4(0.0); }\n");

    CaptureStderr();
    GLuint program = create_program(v.c_str(), f.c_str());  // precision qualifiers compile
    EXPECT_NE(program, 0u);
    EXPECT_EQ(get_attrib(program, "coord"), 0);
    EXPECT_NE(get_uniform(program, "color"), -1);
    EXPECT_NE(create_program(v.c_str(), nullptr), 0u);  // a vertex stage alone
    EXPECT_EQ(GetCapturedStderr(), "");

    CaptureStderr();
    EXPECT_EQ(get_attrib(program, "nowhere"), -1);
    EXPECT_EQ(get_uniform(program, "nothing"), -1);
    print_log(123456);
    EXPECT_EQ(create_program("missing.v.glsl", "missing.f.glsl"), 0u);  // stops at the first
    EXPECT_EQ(GetCapturedStderr(),
              "Could not bind attribute nowhere\nCould not bind uniform nothing\n"
              "printlog: Not a shader or a program\n"
              "Error opening missing.v.glsl: No such file or directory\n");

    int shaders = alive(glIsShader), programs = alive(glIsProgram);
    CaptureStderr();
    EXPECT_EQ(create_shader(bad.c_str(), GL_FRAGMENT_SHADER), 0u);
    EXPECT_EQ(alive(glIsShader), shaders);
    std::string text = GetCapturedStderr();
    EXPECT_EQ(text.rfind(bad + ":", 0), 0u) << text;
    EXPECT_NE(text.find("nonsense"), std::string::npos) << text;

    CaptureStderr();
    EXPECT_EQ(create_program(plain.c_str(), reader.c_str()), 0u);
    text = GetCapturedStderr();
    EXPECT_EQ(text.rfind("glLinkProgram:", 0), 0u) << text;
    EXPECT_GT(text.size(), 20u);  // and the program's log
    EXPECT_EQ(alive(glIsProgram), programs);
}

TEST(ShaderUtils, GeometryStageWithoutItsEntryPointFailsCleanly)
{
    std::string v = write("v.glsl", vertex_source), f = write("f.glsl", fragment_source);
    std::string g = write("g.glsl", "#extension GL_EXT_geometry_shader4 : enable\nvoid main() {}\n");
    CaptureStderr();
    GLuint program = create_gs_program(v.c_str(), g.c_str(), f.c_str(), GL_POINTS, GL_POINTS, 1);
    std::string text = GetCapturedStderr();
    if (glProgramParameteriEXT)
        GTEST_SKIP() << "this driver offers glProgramParameteriEXT";
    EXPECT_EQ(program, 0u);
    EXPECT_EQ(text, "create_gs_program: glProgramParameteriEXT is not available\n");
}

// The lit box of `text` drawn at three window pixels a glyph pixel, from FreeType's own metrics.
struct Box {
    int left, top, right, bottom;
};

Box expected_box(const char *text, int baseline)
{
    FT_Library ft;
    FT_Face face;
    EXPECT_EQ(FT_Init_FreeType(&ft) || FT_New_Face(ft, "FreeSans.ttf", 0, &face), 0);
    FT_Set_Pixel_Sizes(face, 0, 48);
    Box box = {1 << 30, 1 << 30, 0, 0};
    for (int pen = 24; *text; ++text) {
        FT_Load_Char(face, *text, FT_LOAD_RENDER);
        FT_GlyphSlot g = face->glyph;
        box.left = std::min(box.left, pen + 3 * g->bitmap_left);
        box.right = std::max(box.right, pen + 3 * (g->bitmap_left + int(g->bitmap.width)) - 1);
        box.top = std::min(box.top, baseline - 3 * g->bitmap_top);
        box.bottom = std::max(box.bottom, baseline - 3 * (g->bitmap_top - int(g->bitmap.rows)) - 1);
        pen += 3 * int(g->advance.x >> 6);
    }
    FT_Done_FreeType(ft);
    return box;
}

TEST(TextRenderer, DrawsTheTickAtItsPlaceAndSizeLeavingNoTexture)
{
    ASSERT_EQ(chdir(QUORVEL_DATA_DIR), 0);
    fontfilename = "FreeSans.ttf";
    ASSERT_EQ(init_resources(), 1);
    while (glGetError() != GL_NO_ERROR)
        continue;  // left by the tests before
    totalcount = 7;  // the third row: 150 bitmap pixels, 450 window pixels from the top
    begin_frame(1234567890);
    draw_tick_text();
    std::vector<unsigned char> grey(1024 * 800);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, 1024, 800, GL_RED, GL_UNSIGNED_BYTE, grey.data());
    Box seen = {1 << 30, 1 << 30, -1, -1};
    int steps = 0, flat = 0;  // linear filtering leaves no flat runs between partial greys
    for (int y = 0; y < 800; ++y)
        for (int x = 0; x < 1024; ++x) {
            unsigned char v = grey[size_t(799 - y) * 1024 + x];
            if (x && v > 0 && v < 255 && grey[size_t(799 - y) * 1024 + x - 1] != 0) {
                ++steps;
                flat += v == grey[size_t(799 - y) * 1024 + x - 1];
            }
            if (v > 0)  // a quad covers its bitmap box exactly
                seen = {std::min(seen.left, x), std::min(seen.top, y), std::max(seen.right, x), std::max(seen.bottom, y)};
        }
    Box want = expected_box("1234567890", 450);
    EXPECT_NEAR(seen.left, want.left, 1);
    EXPECT_NEAR(seen.top, want.top, 1);
    EXPECT_NEAR(seen.right, want.right, 1);
    EXPECT_NEAR(seen.bottom, want.bottom, 1);
    EXPECT_LT(flat, steps / 3) << flat << " of " << steps;

    render_text("", 0, 0, 0.01f, 0.01f);
    for (GLuint name = 1; name < 64; ++name)
        EXPECT_FALSE(glIsTexture(name)) << name;
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    free_resources();
}

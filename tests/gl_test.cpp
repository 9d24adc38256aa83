// Shader utilities and text drawing on a real GL context in a 1024x800 GLUT
// window on the X server named by DISPLAY, with standard error captured.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "frame_stats.h"
#include "options.h"
#include "shader_utils.h"
#include "text_renderer.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string write(const std::string &name, const std::string &text)
{
    std::string path = testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

// How many shader or program names are alive, to see that a failure leaves none behind.
int alive(GLboolean (*is)(GLuint))
{
    int n = 0;
    for (GLuint name = 1; name < 256; ++name)
        n += is(name);
    return n;
}

const std::string v = write("v.glsl", "attribute vec4 coord; varying mediump vec2 uv;\n"
                                      "void main() { gl_Position = vec4(coord.xy, 0.0, 1.0); uv = coord.zw; }\n");
const std::string f = write("f.glsl", "varying mediump vec2 uv; uniform sampler2D tex; uniform lowp vec4 color;\n"
                                      "void main() { gl_FragColor = texture2D(tex, uv).a * color; }\n");

}  // namespace

// The messages themselves are checked end to end; here, what the GL is left with.
TEST(ShaderUtils, BuildsProgramsAndLeavesNothingBehindAFailure)
{
    CaptureStderr();
    EXPECT_NE(create_program(v.c_str(), nullptr), 0u);  // a vertex stage alone
    print_log(123456);
    EXPECT_EQ(GetCapturedStderr(), "printlog: Not a shader or a program\n");

    int shaders = alive(glIsShader), programs = alive(glIsProgram);
    std::string bad = write("bad.glsl", "void main() { nonsense; }\n");
    std::string reader = write("reader.glsl", "varying vec4 never_written;\nvoid main() { gl_FragColor = never_written; }\n");
    CaptureStderr();
    EXPECT_EQ(create_shader(bad.c_str(), GL_FRAGMENT_SHADER), 0u);
    EXPECT_NE(GetCapturedStderr().find("nonsense"), std::string::npos);  // the compile log
    EXPECT_EQ(alive(glIsShader), shaders);
    CaptureStderr();
    EXPECT_EQ(create_program(v.c_str(), reader.c_str()), 0u);
    EXPECT_GT(GetCapturedStderr().size(), 20u);  // the link log
    EXPECT_EQ(alive(glIsProgram), programs);

    // Mesa compiles geometry shaders but lacks glProgramParameteriEXT.
    std::string g = write("g.glsl", "#extension GL_EXT_geometry_shader4 : enable\nvoid main() {}\n");
    CaptureStderr();
    EXPECT_EQ(create_gs_program(v.c_str(), g.c_str(), f.c_str(), GL_POINTS, GL_POINTS, 1), 0u);
    EXPECT_EQ(GetCapturedStderr(), "create_gs_program: glProgramParameteriEXT is not available\n");
}

// The lit box of the tick 1234567890 drawn in row 150, as {left, top, right, bottom}
// window pixels, checking that it is white on black and linearly filtered.
std::array<int, 4> draw_tick(int width, int height)
{
    totalcount = 7;
    begin_frame(1234567890);
    draw_tick_text(width, height);
    std::vector<unsigned char> rgb(size_t(width) * height * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    std::array<int, 4> seen = {1 << 30, 1 << 30, -1, -1};
    int partial = 0, flat = 0;  // linear filtering leaves no flat runs of partial coverage
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned char *p = &rgb[(size_t(height - 1 - y) * width + x) * 3], left = x ? p[-3] : 0;
            EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
            if (p[0] > 0 && p[0] < 255 && left) {
                ++partial;
                flat += p[0] == left;
            }
            if (p[0])  // a quad covers its bitmap box exactly
                seen = {std::min(seen[0], x), std::min(seen[1], y), std::max(seen[2], x), std::max(seen[3], y)};
        }
    EXPECT_LT(flat, partial / 3) << flat << " of " << partial;
    return seen;
}

TEST(TextRenderer, DrawsTheTickAtItsPlaceAndSizeInAnyWindowLeavingNoTexture)
{
    ASSERT_EQ(chdir(QUORVEL_DATA_DIR), 0);
    fontfilename = "FreeSans.ttf";
    ASSERT_EQ(init_resources(), 1);
    std::array<int, 4> seen = draw_tick(1024, 800);
    // The box FreeType's metrics give at three window pixels a glyph pixel, 450 pixels down.
    FT_Library ft;
    FT_Face face;
    ASSERT_EQ(FT_Init_FreeType(&ft) || FT_New_Face(ft, "FreeSans.ttf", 0, &face) || FT_Set_Pixel_Sizes(face, 0, 48), 0);
    std::array<int, 4> want = {1 << 30, 1 << 30, 0, 0};
    for (const char *c = "1234567890"; *c; ++c) {
        FT_Load_Char(face, *c, FT_LOAD_RENDER);
        FT_GlyphSlot g = face->glyph;
        int left = 24 + want[2] + 3 * g->bitmap_left;  // want[2] holds the pen's advance until the end
        want = {std::min(want[0], left), std::min(want[1], 450 - 3 * g->bitmap_top),
                want[2] + 3 * int(g->advance.x >> 6), std::max(want[3], 450 - 3 * (g->bitmap_top - int(g->bitmap.rows)) - 1)};
        want[2] = c[1] ? want[2] : left + 3 * int(g->bitmap.width) - 1;
    }
    FT_Done_FreeType(ft);
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(seen[i], want[i], 1) << "left, top, right, bottom: " << i;

    // A resized window keeps the glyphs' size and their distance from the top left corner.
    glutReshapeWindow(700, 500);
    for (int passes = 0; passes < 3; passes += glutGet(GLUT_WINDOW_WIDTH) == 700)
        glutMainLoopEvent();  // GLUT sets the viewport on a pass after it learns the size
    EXPECT_EQ(draw_tick(700, 500), (std::array<int, 4>{seen[0], seen[1], 699, seen[3]}));

    render_text("", 0, 0, 0.01f, 0.01f);
    for (GLuint name = 1; name < 64; ++name)
        EXPECT_FALSE(glIsTexture(name)) << name;
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    free_resources();
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowSize(1024, 800);
    glutCreateWindow("quorvel GL tests");
    glutDisplayFunc([] {});  // freeglut handles no event without one
    if (glewInit() != GLEW_OK || !GLEW_VERSION_2_0)
        return 1;
    return RUN_ALL_TESTS();
}

// The tick text as the X server shows it, and every way the set-up can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "program_run.h"
#include "temp_dir.h"

namespace {

// The bounding box of the lit pixels in a window image.
struct TextBox {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
    bool found() const { return right >= 0; }
    int height() const { return bottom - top + 1; }
};

const int rows_from_top[] = {750, 600, 450, 300, 150};

class RendererOnScreen : public testing::Test {
protected:
    // Grabs the window and finds the text; checks every pixel is a grey level.
    TextBox grab_text(int &width, int &height)
    {
        TextBox box;
        auto pixels = x.grab(window, width, height);
        for (int y = 0; y < height; ++y)
            for (int i = 0; i < width; ++i) {
                unsigned p = pixels[size_t(y) * width + i];
                unsigned r = p >> 16, g = (p >> 8) & 0xff, b = p & 0xff;
                EXPECT_TRUE(r == g && g == b) << std::hex << p;
                if (r < 0x80)
                    continue;
                box.left = std::min(box.left, i);
                box.right = std::max(box.right, i);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
            }
        return box;
    }

    // The text's baseline as the nearest of the five rows, or -1 if none is near.
    static int baseline_row(const TextBox &box)
    {
        for (int row : rows_from_top)
            if (std::abs(box.bottom + 1 - row) <= 6)  // round digits dip below
                return row;
        return -1;
    }

    void SetUp() override { ASSERT_NE(window, 0u) << run.err; }

    ProgramRun run{{}};
    XProbe x;
    Window window = x.find("High Resolution Timer", 30);
};

}  // namespace

TEST_F(RendererOnScreen, WhiteDigitsInFiveRowsAtThreePixelsPerGlyphPixel)
{
    std::set<int> rows;
    bool white = false;
    for (int i = 0; i < 40 && rows.size() < 2; ++i, usleep(100000)) {
        int width, height;
        TextBox box = grab_text(width, height);
        if (!box.found())
            continue;
        EXPECT_EQ(width, 1024);
        EXPECT_GE(box.left, 24);  // the pen, plus the first digit's bearing
        EXPECT_LE(box.left, 24 + 3 * 6);
        EXPECT_NEAR(box.height(), 105, 8);
        int row = baseline_row(box);
        EXPECT_NE(row, -1) << "text bottom at " << box.bottom;
        rows.insert(row);
        white = true;
    }
    EXPECT_TRUE(white);
    EXPECT_GE(rows.size(), 2u) << "the text never moved between rows";
}

TEST_F(RendererOnScreen, ResizedWindowKeepsGlyphSizeAndRowPlaces)
{
    x.resize(window, 700, 500);
    std::set<int> rows;
    for (int i = 0; i < 60 && rows.size() < 2; ++i, usleep(100000)) {
        int width, height;
        TextBox box = grab_text(width, height);
        if (width != 700 || !box.found() || box.bottom >= height - 1)
            continue;  // not yet resized, or the text sits below the bottom edge
        EXPECT_GE(box.left, 24);
        EXPECT_LE(box.left, 24 + 3 * 6);
        EXPECT_NEAR(box.height(), 105, 8);
        rows.insert(baseline_row(box));
    }
    EXPECT_GE(rows.size(), 2u);
    EXPECT_EQ(rows.count(-1), 0u);
}

namespace {

const char good_vertex[] = "attribute vec4 coord; varying vec2 uv;\n"
                           "void main() { gl_Position = vec4(coord.xy, 0.0, 1.0); uv = coord.zw; }\n";
const char good_fragment[] = "varying vec2 uv; uniform sampler2D tex; uniform vec4 color;\n"
                             "void main() { gl_FragColor = color * texture2D(tex, uv).a; }\n";

std::string read_file(const std::string &path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Runs the program in a directory holding the given font and shaders (a null
// text leaves the file out) and returns its standard error. The program must
// end by itself, without a main loop, with status 0 and only the banner.
using File = std::optional<std::string>;
const File none;

std::string failed_setup(const File &font, const File &vertex, const File &fragment)
{
    TempDir dir;
    if (font)
        dir.write("FreeSans.ttf", *font);
    if (vertex)
        dir.write("text.v.glsl", *vertex);
    if (fragment)
        dir.write("text.f.glsl", *fragment);
    ProgramRun run({}, {}, dir.path);
    EXPECT_EQ(run.wait_exit(30), 0) << run.err;
    EXPECT_EQ(run.out, "\nquorvel is running...\n");
    return run.err;
}

}  // namespace

TEST(RendererSetup, UnusableFontFiles)
{
    EXPECT_EQ(failed_setup(none, good_vertex, good_fragment), "Could not open font FreeSans.ttf\n");
    EXPECT_EQ(failed_setup("", good_vertex, good_fragment), "Could not open font FreeSans.ttf\n");
    EXPECT_EQ(failed_setup("\x8f\x11random\xfe bytes\x01", good_vertex, good_fragment),
              "Could not open font FreeSans.ttf\n");
}

TEST(RendererSetup, UnusableShaders)
{
    const File f = read_file(QUORVEL_DATA_DIR "/FreeSans.ttf");
    ASSERT_GT(f->size(), 100000u);
    EXPECT_EQ(failed_setup(f, none, good_fragment),
              "Error opening text.v.glsl: No such file or directory\n");
    EXPECT_EQ(failed_setup(f, good_vertex, none),
              "Error opening text.f.glsl: No such file or directory\n");
    EXPECT_EQ(failed_setup(f, "void main() { oops }", good_fragment).rfind("text.v.glsl:", 0), 0u);
    EXPECT_EQ(failed_setup(f, good_vertex, "varying vec4 nowhere; void main() { gl_FragColor = nowhere; }")
                  .rfind("glLinkProgram:", 0),
              0u);
    EXPECT_EQ(failed_setup(f, "void main() { gl_Position = vec4(0.0); }",
                           "void main() { gl_FragColor = vec4(1.0); }"),
              "Could not bind attribute coord\nCould not bind uniform tex\nCould not bind uniform color\n");
}

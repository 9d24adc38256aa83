// Shader compiling and linking on a real GL context, with standard error captured.
#include <gtest/gtest.h>

#include <string>

#include "shader_utils.h"
#include "temp_dir.h"

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

class ShaderUtils : public testing::Test {
protected:
    void SetUp() override { CaptureStderr(); }
    // What the test printed on standard error so far.
    std::string err() { return GetCapturedStderr(); }

    TempDir dir;
    std::string vertex = dir.write("v.glsl", vertex_source);
    std::string fragment = dir.write("f.glsl", fragment_source);
};

}  // namespace

TEST_F(ShaderUtils, LinksAPairWithPrecisionQualifiers)
{
    GLuint program = create_program(vertex.c_str(), fragment.c_str());
    EXPECT_NE(program, 0u);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(get_attrib(program, "coord"), 0);
    EXPECT_NE(get_uniform(program, "color"), -1);
    glDeleteProgram(program);
}

TEST_F(ShaderUtils, LinksAVertexShaderAlone)
{
    EXPECT_NE(create_program(vertex.c_str(), nullptr), 0u);
    EXPECT_EQ(err(), "");
}

TEST_F(ShaderUtils, MissingFileIsReportedWithTheSystemError)
{
    EXPECT_EQ(create_shader("x", GL_VERTEX_SHADER), 0u);
    EXPECT_EQ(err(), "Error opening x: No such file or directory\n");
}

TEST_F(ShaderUtils, MissingVertexFileStopsBeforeTheFragmentFile)
{
    EXPECT_EQ(create_program("missing.v.glsl", "missing.f.glsl"), 0u);
    EXPECT_EQ(err(), "Error opening missing.v.glsl: No such file or directory\n");
}

TEST_F(ShaderUtils, CompileErrorPrintsThePathAndTheLog)
{
    std::string bad = dir.write("bad.glsl", "void main() { nonsense; }\n");
    EXPECT_EQ(create_shader(bad.c_str(), GL_FRAGMENT_SHADER), 0u);
    std::string text = err();
    EXPECT_EQ(text.rfind(bad + ":", 0), 0u) << text;
    EXPECT_NE(text.find("nonsense"), std::string::npos) << text;
}

TEST_F(ShaderUtils, LinkErrorPrintsTheProgramLog)
{
    // The fragment stage reads a varying that the vertex stage never writes.
    std::string reader = dir.write("reader.glsl",
                                   "varying vec4 never_written;\n"
                                   "void main() { gl_FragColor = never_written; }\n");
    std::string plain = dir.write("plain.glsl", "void main() { gl_Position = vec4(0.0); }\n");
    EXPECT_EQ(create_program(plain.c_str(), reader.c_str()), 0u);
    std::string text = err();
    EXPECT_EQ(text.rfind("glLinkProgram:", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("glLinkProgram:").size());
}

TEST_F(ShaderUtils, PrintLogOnANonObject)
{
    print_log(123456);
    EXPECT_EQ(err(), "printlog: Not a shader or a program\n");
}

TEST_F(ShaderUtils, MissingInputsAreMinusOneWithALine)
{
    GLuint program = create_program(vertex.c_str(), fragment.c_str());
    EXPECT_EQ(get_attrib(program, "nowhere"), -1);
    EXPECT_EQ(get_uniform(program, "nothing"), -1);
    EXPECT_EQ(err(), "Could not bind attribute nowhere\nCould not bind uniform nothing\n");
}

TEST_F(ShaderUtils, GeometryStageWithoutItsEntryPointFailsCleanly)
{
    std::string geometry = dir.write("g.glsl",
                                     "#extension GL_EXT_geometry_shader4 : enable\n"
                                     "void main() {}\n");
    GLuint program = create_gs_program(vertex.c_str(), geometry.c_str(), fragment.c_str(),
                                       GL_POINTS, GL_POINTS, 1);
    std::string text = err();
    if (glProgramParameteriEXT)
        GTEST_SKIP() << "this driver offers glProgramParameteriEXT";
    EXPECT_EQ(program, 0u);
    EXPECT_NE(text.find("glProgramParameteriEXT"), std::string::npos) << text;
}

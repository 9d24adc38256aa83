#include "shader_utils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int block_size = 8192;
// Growth stops at the first doubling past this, so at most 16 MiB is kept.
constexpr int size_limit = 10 * 1024 * 1024;

// The prologue lets shaders written for GLSL ES, with precision qualifiers,
// compile as desktop GLSL 1.20.
const GLchar version_line[] = "#version 120\n";
const GLchar precision_defines[] = "#define lowp   \n#define mediump\n#define highp  \n";

char *fail_read(FILE *in, char *buffer, int error)
{
    free(buffer);
    fclose(in);
    errno = error;
    return nullptr;
}

}  // namespace

char *file_read(const char *filename)
{
    FILE *in = fopen(filename, "rb");
    if (!in)
        return nullptr;
    int size = block_size, length = 0;
    char *buffer = static_cast<char *>(malloc(size));
    if (!buffer)
        return fail_read(in, buffer, ENOMEM);
    while (!feof(in) && !ferror(in)) {
        if (length + block_size > size) {
            if (size > size_limit)
                break;
            size *= 2;
            char *grown = static_cast<char *>(realloc(buffer, size));
            if (!grown)
                return fail_read(in, buffer, ENOMEM);
            buffer = grown;
        }
        length += static_cast<int>(fread(buffer + length, 1, block_size, in));
    }
    // A read error (a directory, say) would otherwise pass a truncated file off as whole.
    if (ferror(in))
        return fail_read(in, buffer, errno ? errno : EIO);
    fclose(in);
    char *result = static_cast<char *>(realloc(buffer, length + 1));
    if (!result) {
        free(buffer);
        errno = ENOMEM;
        return nullptr;
    }
    result[length] = '\0';
    return result;
}

void print_log(GLuint object)
{
    GLint log_length = 0;
    if (glIsShader(object)) {
        glGetShaderiv(object, GL_INFO_LOG_LENGTH, &log_length);
    } else if (glIsProgram(object)) {
        glGetProgramiv(object, GL_INFO_LOG_LENGTH, &log_length);
    } else {
        fprintf(stderr, "printlog: Not a shader or a program\n");
        return;
    }
    // The length counts the NUL, so a buffer of that size lets the GL end it.
    char *log = log_length > 0 ? static_cast<char *>(malloc(log_length)) : nullptr;
    if (!log)
        return;
    GLsizei written = 0;
    if (glIsShader(object))
        glGetShaderInfoLog(object, log_length, &written, log);
    else
        glGetProgramInfoLog(object, log_length, &written, log);
    fwrite(log, 1, written, stderr);
    free(log);
}

GLuint create_shader(const char *filename, GLenum type)
{
    GLchar *source = file_read(filename);
    if (!source) {
        int error = errno;
        fprintf(stderr, "Error opening %s: ", filename);
        errno = error;
        perror("");
        return 0;
    }
    GLuint shader = glCreateShader(type);
    const GLchar *sources[] = {version_line, precision_defines, source};
    glShaderSource(shader, 3, sources, nullptr);
    free(source);

    glCompileShader(shader);
    GLint compile_ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &compile_ok);
    if (compile_ok == GL_FALSE) {
        fprintf(stderr, "%s:", filename);
        print_log(shader);
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

// Compiles and attaches one stage; a null path is no stage and succeeds.
static bool attach_stage(GLuint program, const char *filename, GLenum type)
{
    if (!filename)
        return true;
    GLuint shader = create_shader(filename, type);
    if (!shader)
        return false;
    glAttachShader(program, shader);
    return true;
}

static GLuint link_program(GLuint program)
{
    glLinkProgram(program);
    GLint link_ok = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &link_ok);
    if (!link_ok) {
        fprintf(stderr, "glLinkProgram:");
        print_log(program);
        glDeleteProgram(program);
        return 0;
    }
    return program;
}

GLuint create_program(const char *vertexfile, const char *fragmentfile)
{
    return create_gs_program(vertexfile, nullptr, fragmentfile, 0, 0, 0);
}

GLuint create_gs_program(const char *vertexfile, const char *geometryfile,
                         const char *fragmentfile, GLint input, GLint output, GLint vertices)
{
    GLuint program = glCreateProgram();
    if (!attach_stage(program, vertexfile, GL_VERTEX_SHADER))
        return 0;
    if (geometryfile) {
        if (!attach_stage(program, geometryfile, GL_GEOMETRY_SHADER_EXT))
            return 0;
        // GLEW loads this only where the driver offers geometry shader 4, yet
        // some drivers compile geometry shaders without it.
        if (!glProgramParameteriEXT) {
            fprintf(stderr, "create_gs_program: glProgramParameteriEXT is not available\n");
            return 0;
        }
        glProgramParameteriEXT(program, GL_GEOMETRY_INPUT_TYPE_EXT, input);
        glProgramParameteriEXT(program, GL_GEOMETRY_OUTPUT_TYPE_EXT, output);
        glProgramParameteriEXT(program, GL_GEOMETRY_VERTICES_OUT_EXT, vertices);
    }
    if (!attach_stage(program, fragmentfile, GL_FRAGMENT_SHADER))
        return 0;
    return link_program(program);
}

GLint get_attrib(GLuint program, const char *name)
{
    GLint location = glGetAttribLocation(program, name);
    if (location == -1)
        fprintf(stderr, "Could not bind attribute %s\n", name);
    return location;
}

GLint get_uniform(GLuint program, const char *name)
{
    GLint location = glGetUniformLocation(program, name);
    if (location == -1)
        fprintf(stderr, "Could not bind uniform %s\n", name);
    return location;
}

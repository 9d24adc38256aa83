// Reading shader files, compiling and linking GL programs, and looking up
// their inputs. Every failure is reported on standard error where it happens.
#pragma once

#include <GL/glew.h>

// The whole file with a NUL after it, to be released with free(); null with
// errno set when the file cannot be opened, read or held in memory. Files
// longer than 16 MiB are cut to their first 16777216 bytes.
char *file_read(const char *filename);

// Writes the info log of a shader or program on standard error.
void print_log(GLuint object);

// Compiles a shader of `type` from a file, as GLSL 1.20 with the precision
// qualifiers defined away. Returns 0 on failure.
GLuint create_shader(const char *filename, GLenum type);

// Links a program from the given shader files; a null path skips that stage.
// Returns 0 on failure.
GLuint create_program(const char *vertexfile, const char *fragmentfile);
GLuint create_gs_program(const char *vertexfile, const char *geometryfile,
                         const char *fragmentfile, GLint input, GLint output, GLint vertices);

// Input locations, or -1 with a message when the program has no such input.
GLint get_attrib(GLuint program, const char *name);
GLint get_uniform(GLuint program, const char *name);

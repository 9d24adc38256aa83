// Runs GoogleTest cases with a current OpenGL 2.0 context from a
// GLUT window on the X server named by DISPLAY.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    glutInit(&argc, argv);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowSize(1024, 800);
    int window = glutCreateWindow("quorvel GL tests");
    if (glewInit() != GLEW_OK || !GLEW_VERSION_2_0) {
        fprintf(stderr, "no OpenGL 2.0 context\n");
        return 1;
    }
    int status = RUN_ALL_TESTS();
    glutDestroyWindow(window);
    return status;
}

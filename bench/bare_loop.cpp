// The floor of the GL stack for the benchmark: a 1024x800 GLUT window that
// only clears and swaps, as fast as it can.
#include <GL/freeglut.h>

static void display()
{
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glutSwapBuffers();
}

int main(int argc, char **argv)
{
    glutInit(&argc, argv);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowPosition(400, 30);
    glutInitWindowSize(1024, 800);
    glutCreateWindow("bare loop");
    glutDisplayFunc(display);
    glutIdleFunc(glutPostRedisplay);
    glutMainLoop();
    return 0;
}

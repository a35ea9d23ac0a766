// The viewer: a GLUT window that shows the scene (scene.h) of the colour
// table that the receiver thread (core1Read) hands over, with a mouse-driven
// camera, a spin animation and a help overlay.

#include "viewer/core1Read.h"
#include "viewer/scene.h"
#include "viewer/viewmath.h"

#include <GL/freeglut.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kWindowTitle = "Tavio Lumarix Using FreeGlut";
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;
constexpr unsigned int kFrameIntervalMs = 30;
constexpr int kUnusedTimerValue = 0;

constexpr unsigned char kKeyEnter = 10;
constexpr unsigned char kKeyReturn = 13;
constexpr unsigned char kKeyEscape = 27;

constexpr int kMouseButtons = 8;

// Frame releases taken in so far. The receiver thread counts them, after each
// table exchange (release); the timer tick reads the count (acquire) before
// its pick-up, so that the pointer it then takes is at least that new.
std::atomic<uint32_t> framesReleased{0};
// The count as of the last tick: the GLUT thread's alone.
uint32_t releasesSeen = 0;

void countRelease(const storeColor*)
{
    framesReleased.fetch_add(1, std::memory_order_release);
}

}  // namespace

// The viewer's input state, used only on the GLUT thread; the camera, the
// spin and the overlay are the scene's.
uint8_t currSelSpeed = 0;
int64_t anim_start = 0;
int64_t nframes = 0;
int bnstate[kMouseButtons] = {};
int mouse_x = 0;
int mouse_y = 0;

void display();
void keypress(unsigned char key, int x, int y);
void skeypress(int key, int x, int y);
void mouse(int button, int state, int x, int y);
void motion(int x, int y);
void timerFunction(int value);
void startFrameCaller_30();

int main(int argc, char** argv)
{
    keepFreedMemory();

    glutInit(&argc, argv);
    glutInitWindowSize(kWindowWidth, kWindowHeight);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_DEPTH);
    glutCreateWindow(kWindowTitle);

    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keypress);
    glutSpecialFunc(skeypress);
    glutMouseFunc(mouse);
    glutMotionFunc(motion);

    setupScene();

    frameReleasedHook = countRelease;
    setupSharedMem();
    ptCurrLocalColorTable = ptCurrColorTable.load(std::memory_order_acquire);
    // No frame waits for pick-up yet. Relaxed: the flag carries no data.
    loadNextFrame.store(0, std::memory_order_relaxed);

    startFrameCaller_30();
    glutMainLoop();
    return 0;
}

void startFrameCaller_30()
{
    glutTimerFunc(kFrameIntervalMs, timerFunction, kUnusedTimerValue);
}

void timerFunction(int)
{
    glutTimerFunc(kFrameIntervalMs, timerFunction, kUnusedTimerValue);

    const uint32_t released = framesReleased.load(std::memory_order_acquire);
    // Take over the frame on show once one has been released. The pointer
    // exchange takes a moment on the receiver thread: wait it out.
    if (loadNextFrame.load(std::memory_order_acquire)) {
        while (semaphoreIsCritical.load(std::memory_order_acquire)) {
        }
        ptCurrLocalColorTable = ptCurrColorTable.load(std::memory_order_acquire);
    }

    // A frame of the cube costs more than a tick in software GL, so the tick
    // redraws only when the picture moves on: a new frame or the spin. The
    // table on show changes only by a release; input, help and window
    // changes post their own redraws, and the window system its exposes.
    if (anim || released != releasesSeen) {
        releasesSeen = released;
        glutPostRedisplay();
    }
}

void display()
{
    drawScene();
    glutSwapBuffers();
    nframes += 1;
}

void keypress(unsigned char key, int, int)
{
    static int fullscr = 0;
    static int prev_xsz = 0;
    static int prev_ysz = 0;

    switch (key) {
    case kKeyEnter:
    case kKeyReturn:
        if (!(glutGetModifiers() & GLUT_ACTIVE_ALT))
            break;
        [[fallthrough]];
    case 'f': {
        const int wasFull = fullscr;
        fullscr ^= 1;
        if (wasFull) {
            glutReshapeWindow(prev_xsz, prev_ysz);
        } else {
            prev_xsz = glutGet(GLUT_WINDOW_WIDTH);
            prev_ysz = glutGet(GLUT_WINDOW_HEIGHT);
            glutFullScreen();
        }
        break;
    }
    case kKeyEscape:
    case 'q':
        std::exit(EXIT_SUCCESS);
    case ' ': {
        const int wasOn = anim;
        anim ^= 1;
        if (wasOn) {
            const int64_t now = glutGet(GLUT_ELAPSED_TIME);
            const int64_t rate = viewmath::frameRateHundredths(nframes, now - anim_start);
            std::printf("framerate: %ld.%02ld fps\n", static_cast<long>(rate / viewmath::kRateScale),
                        static_cast<long>(rate % viewmath::kRateScale));
            // Standard output may be a pipe or a file: show the line now.
            std::fflush(stdout);
        } else {
            anim_start = glutGet(GLUT_ELAPSED_TIME);
            nframes = 0;
        }
        // Spun or unspun, the cube is drawn again at once.
        glutPostRedisplay();
        break;
    }
    case 'a':
        if (anim && currSelSpeed < kTopSpeedLevel)
            gSpeed = kSpeedSteps[++currSelSpeed];
        break;
    case 'z':
        if (anim && currSelSpeed > 0)
            gSpeed = kSpeedSteps[--currSelSpeed];
        break;
    default:
        break;
    }
}

void skeypress(int key, int, int)
{
    if (key == GLUT_KEY_F1) {
        help ^= 1;
        glutPostRedisplay();
    }
}

void mouse(int button, int state, int x, int y)
{
    // Some mice report more buttons than there are slots: those are ignored.
    if (button < 0 || button >= kMouseButtons)
        return;
    bnstate[button] = state == GLUT_DOWN ? 1 : 0;
    mouse_x = x;
    mouse_y = y;
}

void motion(int x, int y)
{
    const int dx = x - mouse_x;
    const int dy = y - mouse_y;
    mouse_x = x;
    mouse_y = y;
    if (dx == 0 && dy == 0)
        return;

    if (bnstate[GLUT_LEFT_BUTTON]) {
        cam_theta = viewmath::turned(cam_theta, dx);
        cam_phi = viewmath::clampedElevation(viewmath::turned(cam_phi, dy));
        glutPostRedisplay();
    }
    if (bnstate[GLUT_MIDDLE_BUTTON]) {
        viewmath::panned(cam_pan, cam_theta, cam_phi, dx, dy);
        glutPostRedisplay();
    }
    if (bnstate[GLUT_RIGHT_BUTTON]) {
        cam_dist = viewmath::movedDistance(cam_dist, dy);
        glutPostRedisplay();
    }
}

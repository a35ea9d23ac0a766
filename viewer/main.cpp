// The viewer: a GLUT window that draws the LED cube as small upright
// cylinders over a grey floor, from the colour table that the receiver thread
// (core1Read) hands over, with a mouse-driven camera, a spin animation and a
// help overlay.

#include "core1Read.h"
#include "viewmath.h"

#include <GL/freeglut.h>
#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>

namespace {

constexpr const char* kWindowTitle = "Tavio Lumarix Using FreeGlut";
constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;
constexpr unsigned int kFrameIntervalMs = 30;
constexpr int kUnusedTimerValue = 0;

constexpr GLdouble kNearPlane = 0.5;
constexpr GLdouble kFarPlane = 500.0;
// Directional (w = 0): shining from the left, above and in front.
constexpr GLfloat kLightPosition[4] = {-1.0f, 2.0f, 3.0f, 0.0f};

// Turns the scene's axes into the cube frame: x stays, y points away from
// the viewer and z points up, so the cylinders stand upright.
constexpr GLfloat kCubeFrameTurn = -90.0f;
constexpr GLfloat kSpinTenthsPerDegree = 10.0f;

constexpr GLdouble kLedRadius = 0.1;
constexpr GLdouble kLedHeight = 0.2;
constexpr GLint kLedSlices = 100;
constexpr GLint kLedStacks = 1;

constexpr GLfloat kFloorLevel = -5.0f;
constexpr GLfloat kFloorHalfSize = 5.0f;
// Counter-clockwise seen from above, so culling hides the floor from below.
constexpr GLfloat kFloorCorners[4][3] = {{-kFloorHalfSize, kFloorLevel, kFloorHalfSize},
                                         {kFloorHalfSize, kFloorLevel, kFloorHalfSize},
                                         {kFloorHalfSize, kFloorLevel, -kFloorHalfSize},
                                         {-kFloorHalfSize, kFloorLevel, -kFloorHalfSize}};

constexpr int kLineSpacing = 20;  // text baselines, in pixels
constexpr GLdouble kOverlayNear = -1.0;
constexpr GLdouble kOverlayFar = 1.0;
constexpr int kTextX = 5;
constexpr int kShadowX = 7;
constexpr int kShadowDrop = 2;
constexpr GLfloat kShadowColor[3] = {0.0f, 0.1f, 0.0f};
constexpr GLfloat kTextColor[3] = {0.0f, 0.9f, 0.0f};

constexpr unsigned char kKeyEnter = 10;
constexpr unsigned char kKeyReturn = 13;
constexpr unsigned char kKeyEscape = 27;

// Spin step in tenths of a degree per drawn frame, by speed level.
constexpr uint32_t kSpeedSteps[] = {1, 10, 25};
constexpr uint8_t kTopSpeedLevel = std::size(kSpeedSteps) - 1;

constexpr int kMouseButtons = 8;

// glibc's largest mmap threshold on 64-bit systems: blocks up to this size
// come from the heap and stay there.
constexpr int kHeapBlockLimit = 32 * 1024 * 1024;

// The LED cylinder, compiled once: every LED calls it.
GLuint led_list = 0;

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

// Viewer state, used only on the GLUT thread.
float cam_dist = 8.0f;
float cam_phi = 25.0f;
float cam_theta = 0.0f;
float cam_pan[3] = {0.0f, 0.0f, 0.0f};
int anim = 0;
uint32_t gSpeed = kSpeedSteps[0];
uint8_t currSelSpeed = 0;
int64_t ani_counter = 0;
int64_t anim_start = 0;
int64_t nframes = 0;
int help = 0;
int win_width = 0;
int win_height = 0;
int bnstate[kMouseButtons] = {};
int mouse_x = 0;
int mouse_y = 0;

// The table that display draws; the timer tick moves it to the frame on show.
storeColor* ptCurrLocalColorTable = nullptr;

// The centre LED is drawn at the origin of the cube frame; from there each
// row moves on to the next LED, so that no position is computed while drawing.
constexpr auto cube_pos = viewmath::walkMoves<kCubeEdge>();
constexpr auto lookup_table = viewmath::walkLeds<kCubeEdge>();

const char* helptext[] = {"Rotate: left mouse drag",
                          " Scale: right mouse drag up/down",
                          "   Pan: middle mouse drag",
                          "",
                          "Toggle fullscreen: f",
                          "Toggle animation: space",
                          "Animation speed: a, z",
                          "Quit: escape",
                          nullptr};
const char* helpprompt[] = {"Press F1 for help", nullptr};

void display();
void reshape(int width, int height);
void keypress(unsigned char key, int x, int y);
void skeypress(int key, int x, int y);
void mouse(int button, int state, int x, int y);
void motion(int x, int y);
void timerFunction(int value);
void startFrameCaller_30();
void print_help();
void compileLed();

int main(int argc, char** argv)
{
    // freeglut and Mesa allocate and free memory for every frame. By default
    // glibc hands it back to the system each time, and taking it again costs
    // page faults on every frame: keep it instead.
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);

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

    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    compileLed();

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

void reshape(int width, int height)
{
    win_width = width;
    win_height = height;
    glViewport(0, 0, width, height);

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const float halfWidth = viewmath::frustumHalfWidth(width, height);
    glFrustum(-halfWidth, halfWidth, -viewmath::kFrustumHalfHeight, viewmath::kFrustumHalfHeight, kNearPlane,
              kFarPlane);
}

// The LED cylinder's base is centred on the current place and it rises
// along the cube frame's z axis. Built once, it spares every frame the
// cylinder's construction, which freeglut would otherwise repeat for each
// LED, allocations included.
void compileLed()
{
    led_list = glGenLists(1);
    glNewList(led_list, GL_COMPILE);
    glutSolidCylinder(kLedRadius, kLedHeight, kLedSlices, kLedStacks);
    glEndList();
}

namespace {

void drawLed(const storeColor& color)
{
    glColor3f(color.r, color.g, color.b);
    glCallList(led_list);
}

}  // namespace

void display()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -cam_dist);
    glRotatef(cam_phi, 1.0f, 0.0f, 0.0f);
    glRotatef(cam_theta, 0.0f, 1.0f, 0.0f);
    glTranslatef(cam_pan[0], cam_pan[1], cam_pan[2]);
    // Placed before the spin: the light stays put relative to the floor.
    glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition);
    glEnable(GL_COLOR_MATERIAL);

    glPushMatrix();
    if (anim) {
        ani_counter += gSpeed;
        const float angle = static_cast<float>(ani_counter) / kSpinTenthsPerDegree;
        glRotatef(angle, 1.0f, 0.0f, 0.0f);
        glRotatef(angle, 0.0f, 1.0f, 0.0f);
    }
    glRotatef(kCubeFrameTurn, 1.0f, 0.0f, 0.0f);

    const storeColor* table = ptCurrLocalColorTable;
    constexpr int c = viewmath::centre<kCubeEdge>();
    drawLed(table[ledIndex(c, c, c)]);
    for (int k = 0; k < viewmath::kWalkSteps<kCubeEdge>; ++k) {
        glTranslatef(cube_pos[k][0], cube_pos[k][1], cube_pos[k][2]);
        const auto& led = lookup_table[k];
        drawLed(table[ledIndex(led[0], led[1], led[2])]);
    }
    glColor3f(kUnlit.r, kUnlit.g, kUnlit.b);
    glPopMatrix();

    glBegin(GL_QUADS);
    glNormal3f(0.0f, 1.0f, 0.0f);
    for (const auto& corner : kFloorCorners)
        glVertex3f(corner[0], corner[1], corner[2]);
    glEnd();

    print_help();

    glutSwapBuffers();
    nframes += 1;
}

namespace {

void drawText(int x, int y, const char* text)
{
    // The raster position takes the colour current when it is set.
    glRasterPos2f(static_cast<float>(x), static_cast<float>(y));
    for (const char* ch = text; *ch; ++ch)
        glutBitmapCharacter(GLUT_BITMAP_9_BY_15, *ch);
}

}  // namespace

void print_help()
{
    glPushAttrib(GL_ENABLE_BIT);
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    // One unit per pixel, origin at the bottom left.
    glOrtho(0, win_width, 0, win_height, kOverlayNear, kOverlayFar);

    const char* const* lines = help ? helptext : helpprompt;
    int y = -kLineSpacing;
    for (const char* const* line = lines; *line; ++line) {
        glColor3fv(kShadowColor);
        drawText(kShadowX, win_height + y - kShadowDrop, *line);
        glColor3fv(kTextColor);
        drawText(kTextX, win_height + y, *line);
        y -= kLineSpacing;
    }

    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopAttrib();
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

#include "viewer/scene.h"

#include "viewer/viewmath.h"

#include <GL/freeglut.h>
#include <malloc.h>

#include <limits>

namespace {

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

// glibc's largest mmap threshold on 64-bit systems: blocks up to this size
// come from the heap and stay there.
constexpr int kHeapBlockLimit = 32 * 1024 * 1024;

// The LED cylinder, compiled once: every LED calls it.
GLuint led_list = 0;

}  // namespace

float cam_dist = kStartDistance;
float cam_phi = kStartElevation;
float cam_theta = kStartAzimuth;
float cam_pan[3] = {0.0f, 0.0f, 0.0f};
int anim = 0;
uint32_t gSpeed = kSpeedSteps[0];
int64_t ani_counter = 0;
int help = 0;
bool overlay = true;
int win_width = 0;
int win_height = 0;

const storeColor* ptCurrLocalColorTable = nullptr;

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

// freeglut and Mesa allocate and free memory for every frame. By default
// glibc hands it back to the system each time, and taking it again costs
// page faults on every frame: keep it instead.
void keepFreedMemory()
{
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
    mallopt(M_MMAP_THRESHOLD, kHeapBlockLimit);
}

void setView(const View& view)
{
    cam_theta = view.azimuth;
    cam_phi = view.elevation;
    cam_dist = view.distance;
    overlay = view.overlay;
    help = view.help ? 1 : 0;
    anim = view.spinLevel >= 0 ? 1 : 0;
    if (anim)
        gSpeed = kSpeedSteps[view.spinLevel];
}

void setupScene()
{
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);

    // The LED cylinder's base is centred on the current place and it rises
    // along the cube frame's z axis. Built once, it spares every frame the
    // cylinder's construction, which freeglut would otherwise repeat for
    // each LED, allocations included.
    led_list = glGenLists(1);
    glNewList(led_list, GL_COMPILE);
    glutSolidCylinder(kLedRadius, kLedHeight, kLedSlices, kLedStacks);
    glEndList();
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

namespace {

void drawLed(const storeColor& color)
{
    glColor3f(color.r, color.g, color.b);
    glCallList(led_list);
}

}  // namespace

void drawScene()
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

    if (overlay)
        print_help();
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

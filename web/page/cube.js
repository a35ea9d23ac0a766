// The cube in 3-D, drawn as the viewer draws it: every LED a small upright
// cylinder above a grey floor, lit by one light from the left, above and in
// front, an LED that is off in the viewer's unlit grey, seen from the
// viewer's starting angle. All LEDs are one instanced mesh, so a frame is one
// draw call whatever the edge; a frame's bytes go to the GPU as they come.
import * as THREE from '/three/build/three.module.js';
import { OrbitControls } from '/three/examples/jsm/controls/OrbitControls.js';

function degrees(angle) {
  return angle * 180 / Math.PI;
}

function radians(angle) {
  return angle * Math.PI / 180;
}

// The viewer's measures (viewer/viewmath.h, viewer/scene.cpp), in its units.
const LED_SPACING = 0.5;
const LED_RADIUS = 0.1;
const LED_HEIGHT = 0.2;
// The viewer's cylinder has 100 sides; at the size an LED is drawn, 16 look
// the same and keep a 16³ cube cheap on a phone.
const LED_SIDES = 16;
const FLOOR_LEVEL = -5;
const FLOOR_HALF_SIZE = 5;
const UNLIT_GREY = 0.3;  // lFrame::kUnlit
// Fixed-function lighting as the viewer sets it: the default global ambient
// on a colour material, and one white directional light that stays put
// relative to the floor.
const AMBIENT = 0.2;
const LIGHT_DIRECTION = new THREE.Vector3(-1, 2, 3).normalize();
// The viewer's frustum: half height 0.23315 at the near plane 0.5.
const FIELD_OF_VIEW = 2 * degrees(Math.atan(0.23315 / 0.5));
const START_ELEVATION = 25;  // degrees
const START_AZIMUTH = 0;
const FRAME_MARGIN = 1.08;   // room around the cube's bounding sphere
const MAX_PIXEL_RATIO = 2;

// Where a frame's colours start (app.js draws the frame's layout).
export const FRAME_HEADER = 6;

// Colours per vertex, as the viewer's fixed-function GL lights them. The
// colour attribute holds the frame's bytes: black is the receiver's word for
// an LED that is off, drawn in the unlit grey; a lit LED is scaled by the
// cube's brightness.
const VERTEX_SHADER = `
attribute vec3 ledColour;
uniform float brightness;
uniform vec3 lightDirection;
varying vec3 vColour;
void main() {
  vec3 colour = ledColour == vec3(0.0) ? vec3(${UNLIT_GREY.toFixed(3)}) : ledColour * brightness;
  vec3 normalInWorld = normalize(mat3(modelMatrix) * mat3(instanceMatrix) * normal);
  float diffuse = max(dot(normalInWorld, lightDirection), 0.0);
  vColour = min(colour * (${AMBIENT.toFixed(3)} + diffuse), vec3(1.0));
  gl_Position = projectionMatrix * viewMatrix * modelMatrix * instanceMatrix * vec4(position, 1.0);
}`;
const FRAGMENT_SHADER = `
varying vec3 vColour;
void main() {
  gl_FragColor = vec4(vColour, 1.0);
}`;

// The grey of a surface facing straight up, such as the floor.
function litFromAbove(grey) {
  return grey * (AMBIENT + LIGHT_DIRECTION.y);
}

// LED (x, y, z) in the scene: the viewer's cube frame has z up and y going
// away from the viewer, with the LED at N/2 on every axis at the origin.
export function ledPlace(edge, x, y, z) {
  const centre = Math.floor(edge / 2);
  return new THREE.Vector3(LED_SPACING * (x - centre), LED_SPACING * (z - centre), -LED_SPACING * (y - centre));
}

export class CubeView {
  constructor(canvas) {
    this.canvas = canvas;
    this.renderer = new THREE.WebGLRenderer({ canvas, antialias: true, preserveDrawingBuffer: true });
    this.renderer.setClearColor(0x000000);
    this.scene = new THREE.Scene();
    this.camera = new THREE.PerspectiveCamera(FIELD_OF_VIEW, 1, 0.1, 500);
    this.controls = new OrbitControls(this.camera, canvas);
    this.controls.enableDamping = false;
    this.controls.addEventListener('change', () => this.requestDraw());
    canvas.addEventListener('dblclick', () => this.frame(true));
    this.scene.add(this.makeFloor());
    this.material = new THREE.ShaderMaterial({
      uniforms: {
        brightness: { value: 1 },
        lightDirection: { value: LIGHT_DIRECTION },
      },
      vertexShader: VERTEX_SHADER,
      fragmentShader: FRAGMENT_SHADER,
    });
    this.edge = 0;
    this.mesh = null;
    this.pending = false;
    this.lastDrawMs = 0;
    this.onDraw = null;  // called after each drawn picture
    new ResizeObserver(() => this.resize()).observe(canvas);
  }

  makeFloor() {
    const floor = new THREE.Mesh(new THREE.PlaneBufferGeometry(2 * FLOOR_HALF_SIZE, 2 * FLOOR_HALF_SIZE),
      new THREE.MeshBasicMaterial({ color: new THREE.Color().setScalar(litFromAbove(UNLIT_GREY)) }));
    // Facing up, so that from below it is culled, as in the viewer.
    floor.rotation.x = -Math.PI / 2;
    floor.position.y = FLOOR_LEVEL;
    return floor;
  }

  // A new mesh of edge³ LEDs, all off, in the frame's order: instance i is
  // LED x + N·(y + N·z), so a frame's bytes are the colour attribute as is.
  build(edge) {
    if (this.mesh) {
      this.scene.remove(this.mesh);
      this.mesh.geometry.dispose();
    }
    const count = edge * edge * edge;
    const geometry = new THREE.CylinderBufferGeometry(LED_RADIUS, LED_RADIUS, LED_HEIGHT, LED_SIDES);
    geometry.translate(0, LED_HEIGHT / 2, 0);  // standing on its place
    this.colours = new THREE.InstancedBufferAttribute(new Uint8Array(3 * count), 3, true);
    this.colours.setUsage(THREE.DynamicDrawUsage);
    geometry.setAttribute('ledColour', this.colours);
    const mesh = new THREE.InstancedMesh(geometry, this.material, count);
    // Its bounds are one LED's; the cube is always in view anyway.
    mesh.frustumCulled = false;
    const place = new THREE.Matrix4();
    for (let z = 0; z < edge; ++z)
      for (let y = 0; y < edge; ++y)
        for (let x = 0; x < edge; ++x)
          mesh.setMatrixAt(x + edge * (y + edge * z), place.makeTranslation(...ledPlace(edge, x, y, z).toArray()));
    this.mesh = mesh;
    this.edge = edge;
    this.scene.add(mesh);
    this.frame(true);
  }

  // The cube's bounding sphere, LEDs' radius and height included.
  boundingSphere() {
    const low = ledPlace(this.edge, 0, this.edge - 1, 0).add(new THREE.Vector3(-LED_RADIUS, 0, -LED_RADIUS));
    const high = ledPlace(this.edge, this.edge - 1, 0, this.edge - 1).add(new THREE.Vector3(LED_RADIUS, LED_HEIGHT, LED_RADIUS));
    return new THREE.Box3(low, high).getBoundingSphere(new THREE.Sphere());
  }

  // Places the camera so that the whole cube fits the canvas, at the
  // viewer's starting angle (`reset`) or along the present direction.
  frame(reset) {
    if (!this.edge)
      return;
    const sphere = this.boundingSphere();
    const halfHeight = radians(this.camera.fov / 2);
    const halfWidth = Math.atan(Math.tan(halfHeight) * this.camera.aspect);
    const distance = FRAME_MARGIN * sphere.radius / Math.sin(Math.min(halfHeight, halfWidth));
    const direction = new THREE.Vector3();
    if (reset || this.controls.target.distanceTo(this.camera.position) === 0) {
      const elevation = radians(START_ELEVATION);
      const azimuth = radians(START_AZIMUTH);
      direction.set(Math.sin(azimuth) * Math.cos(elevation), Math.sin(elevation), Math.cos(azimuth) * Math.cos(elevation));
    } else {
      direction.subVectors(this.camera.position, this.controls.target).normalize();
    }
    this.controls.target.copy(sphere.center);
    this.camera.position.copy(sphere.center).addScaledVector(direction, distance);
    this.controls.minDistance = sphere.radius;
    this.controls.maxDistance = 6 * distance;
    this.controls.update();
    this.requestDraw();
  }

  resize() {
    const width = this.canvas.clientWidth;
    const height = this.canvas.clientHeight;
    if (!width || !height)
      return;
    this.renderer.setPixelRatio(Math.min(window.devicePixelRatio || 1, MAX_PIXEL_RATIO));
    this.renderer.setSize(width, height, false);
    this.camera.aspect = width / height;
    this.camera.updateProjectionMatrix();
    this.frame(false);
  }

  // One frame from the WebSocket: its bytes become the LEDs' colours.
  show(bytes, edge) {
    if (edge !== this.edge)
      this.build(edge);
    this.colours.array.set(bytes.subarray(FRAME_HEADER, FRAME_HEADER + this.colours.array.length));
    this.colours.needsUpdate = true;
    this.requestDraw();
  }

  setBrightness(level) {
    this.material.uniforms.brightness.value = level;
    this.requestDraw();
  }

  // Pictures are drawn on the display's beat, and only when something changed.
  requestDraw() {
    if (this.pending)
      return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.draw();
    });
  }

  draw() {
    const start = performance.now();
    this.renderer.render(this.scene, this.camera);
    this.lastDrawMs = performance.now() - start;
    if (this.onDraw)
      this.onDraw(this.lastDrawMs);
  }

  // Where the middle of LED (x, y, z)'s top shows, in CSS pixels from the
  // window's top left.
  screenPlace(x, y, z) {
    const top = ledPlace(this.edge, x, y, z).add(new THREE.Vector3(0, LED_HEIGHT, 0)).project(this.camera);
    const box = this.canvas.getBoundingClientRect();
    return { x: box.left + (top.x + 1) / 2 * box.width, y: box.top + (1 - top.y) / 2 * box.height };
  }

  // The bytes that LED (x, y, z) was last given.
  ledBytes(x, y, z) {
    const at = 3 * (x + this.edge * (y + this.edge * z));
    return Array.from(this.colours.array.subarray(at, at + 3));
  }

  // The time that drawing takes, the GPU's work included, on a cube of
  // `edge` with every LED lit: `count` pictures, each waited for, and their
  // mean in milliseconds. The next frame puts the cube on show back.
  benchmark(edge, count) {
    if (edge !== this.edge)
      this.build(edge);
    for (let i = 0; i < this.colours.array.length; ++i)
      this.colours.array[i] = 1 + (i * 97) % 255;
    this.colours.needsUpdate = true;
    // Reading a pixel back waits for the picture to be finished.
    const gl = this.renderer.getContext();
    const pixel = new Uint8Array(4);
    const drawAndWait = () => {
      this.colours.needsUpdate = true;
      this.renderer.render(this.scene, this.camera);
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
    };
    drawAndWait();  // compiles the shader
    const start = performance.now();
    for (let i = 0; i < count; ++i)
      drawAndWait();
    return (performance.now() - start) / count;
  }
}

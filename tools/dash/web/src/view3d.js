// The 3-D view: the trunk as a box turned by the body quaternion, each leg as
// cylinders through its hip, thigh joint, knee and foot (body frame, metres),
// feet as spheres coloured by contact, over a ground grid. The body frame is
// x forward, y left, z up; the robot is set down so its lowest foot touches
// the grid. Renders only when something changed, and at most
// RENDERS_PER_SECOND times a second: software WebGL (headless browsers,
// machines without a GPU) makes a render cost more than the rest of the page.
import {AmbientLight, BoxGeometry, CylinderGeometry, DirectionalLight, GridHelper, Group, Mesh, MeshLambertMaterial, PerspectiveCamera, Quaternion, Scene, SphereGeometry, Vector3, WebGLRenderer} from 'three';
import {OrbitControls} from 'three/addons/controls/OrbitControls.js';

import {byId, isArrayOfLength} from './dom.js';
import {RateGate} from './rate.js';
import {LEG_COUNT} from './robot.js';

const POINTS_PER_LEG = 4;
const SEGMENT_RADIUS = 0.014;
const JOINT_RADIUS = 0.02;
const FOOT_RADIUS = 0.024;
const FRONT_PLATE_THICKNESS = 0.006;
const DEFAULT_TRUNK = {
  length: 0.4,
  width: 0.2,
  height: 0.1
};
const COLOUR_CONTACT = 0x3ddc84;
const COLOUR_NO_CONTACT = 0x8a93a0;
const UP_AXIS = new Vector3(0, 1, 0);
const RENDERS_PER_SECOND = 30;

function isPoint(p) { return isArrayOfLength(p, 3) && p.every(Number.isFinite); }

function validLegs(legs) {
  return isArrayOfLength(legs, LEG_COUNT) &&
      legs.every((leg) => isArrayOfLength(leg, POINTS_PER_LEG) && leg.every(isPoint));
}

export class View3d {
  constructor() {
    this.canvas = byId('view3d');
    this.box = byId('view3d-box');
    try {
      this.renderer = new WebGLRenderer({canvas: this.canvas, antialias: true});
    } catch (error) {
      const message = byId('view3d-message');
      message.textContent = `3-D view unavailable: ${error.message}`;
      message.hidden = false;
      this.renderer = null;
      return;
    }
    this.renderer.setPixelRatio(window.devicePixelRatio || 1);
    this.renderer.setClearColor(0x161a20);
    this.scene = new Scene();
    this.camera = new PerspectiveCamera(40, 1, 0.05, 50);
    this.camera.up.set(0, 0, 1);
    this.camera.position.set(0.7, -0.85, 0.5);
    this.controls = new OrbitControls(this.camera, this.canvas);
    this.controls.target.set(0, 0, 0.15);
    this.controls.update();
    this.controls.addEventListener('change', () => this.render());

    this.scene.add(new AmbientLight(0xffffff, 0.9));
    const sun = new DirectionalLight(0xffffff, 1.6);
    sun.position.set(1, -2, 3);
    this.scene.add(sun);
    const grid = new GridHelper(4, 40, 0x55606e, 0x2a313b);
    grid.rotation.x = Math.PI / 2;
    this.scene.add(grid);

    this.robot = new Group();
    this.scene.add(this.robot);
    const unitBox = new BoxGeometry(1, 1, 1);
    this.trunk = new Mesh(unitBox, new MeshLambertMaterial({color: 0x4e7fbf}));
    // A light plate on the front face shows which way the robot faces.
    this.front = new Mesh(unitBox, new MeshLambertMaterial({color: 0xe3e7ec}));
    this.robot.add(this.trunk, this.front);
    this.setTrunk(DEFAULT_TRUNK);
    this.buildLegs();
    this.robot.visible = false;
    this.pendingFrame = null;
    this.gate = new RateGate(RENDERS_PER_SECOND);

    this.scratch =
        {a: new Vector3(), b: new Vector3(), direction: new Vector3(), attitude: new Quaternion()};
    new ResizeObserver(() => this.resize()).observe(this.box);
    this.resize();
  }

  buildLegs() {
    const segmentGeometry = new CylinderGeometry(SEGMENT_RADIUS, SEGMENT_RADIUS, 1, 12);
    const jointGeometry = new SphereGeometry(JOINT_RADIUS, 12, 8);
    const footGeometry = new SphereGeometry(FOOT_RADIUS, 16, 12);
    const legMaterial = new MeshLambertMaterial({color: 0xc8ced6});
    const jointMaterial = new MeshLambertMaterial({color: 0x5b6573});
    this.footMaterials = {
      contact: new MeshLambertMaterial({color: COLOUR_CONTACT}),
      free: new MeshLambertMaterial({color: COLOUR_NO_CONTACT}),
    };
    this.legs = [];
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      const segments = [];
      const joints = [];
      for (let s = 0; s < POINTS_PER_LEG - 1; s++) {
        segments.push(new Mesh(segmentGeometry, legMaterial));
        joints.push(new Mesh(jointGeometry, jointMaterial));
      }
      const foot = new Mesh(footGeometry, this.footMaterials.free);
      for (const mesh of [...segments, ...joints, foot]) this.robot.add(mesh);
      this.legs.push({segments, joints, foot});
    }
  }

  setTrunk(trunk) {
    const size = {...DEFAULT_TRUNK};
    for (const key of Object.keys(size)) {
      if (trunk && Number.isFinite(trunk[key]) && trunk[key] > 0) size[key] = trunk[key];
    }
    this.trunk.scale.set(size.length, size.width, size.height);
    this.front.scale.set(FRONT_PLATE_THICKNESS, 0.8 * size.width, 0.6 * size.height);
    this.front.position.set(size.length / 2 + FRONT_PLATE_THICKNESS / 2, 0, 0);
  }

  setHello(hello) {
    if (!this.renderer) return;
    this.setTrunk(hello.trunk);
    this.render();
  }

  resize() {
    const width = Math.max(this.box.clientWidth, 1);
    const height = Math.max(this.box.clientHeight, 1);
    this.renderer.setSize(width, height, false);
    this.camera.aspect = width / height;
    this.camera.updateProjectionMatrix();
    this.render();
  }

  placeSegment(mesh, from, to) {
    const {a, b, direction} = this.scratch;
    a.fromArray(from);
    b.fromArray(to);
    direction.subVectors(b, a);
    const length = direction.length();
    mesh.visible = length > 1e-6;
    if (!mesh.visible) return;
    mesh.position.addVectors(a, b).multiplyScalar(0.5);
    mesh.quaternion.setFromUnitVectors(UP_AXIS, direction.divideScalar(length));
    mesh.scale.set(1, length, 1);
  }

  // Takes the newest frame; it is posed and rendered by renderDue.
  setFrame(frame) {
    if (this.renderer && validLegs(frame.legs)) {
      this.pendingFrame = frame;
      this.gate.markChanged();
    }
  }

  // Called on every animation frame: renders the pending frame once enough
  // time has passed since the last render. Whether it rendered.
  renderDue(nowMs) {
    if (!this.gate.due(nowMs)) return false;
    this.pose(this.pendingFrame);
    this.render();
    return true;
  }

  pose(frame) {
    const contact = isArrayOfLength(frame.contact, LEG_COUNT) ? frame.contact : [];
    for (let leg = 0; leg < LEG_COUNT; leg++) {
      const points = frame.legs[leg];
      const parts = this.legs[leg];
      for (let s = 0; s < POINTS_PER_LEG - 1; s++) {
        this.placeSegment(parts.segments[s], points[s], points[s + 1]);
        parts.joints[s].position.fromArray(points[s]);
      }
      parts.foot.position.fromArray(points[POINTS_PER_LEG - 1]);
      parts.foot.material =
          contact[leg] === true ? this.footMaterials.contact : this.footMaterials.free;
    }
    const attitude = this.scratch.attitude;
    const q = frame.quaternion;
    if (isArrayOfLength(q, 4) && q.every(Number.isFinite) && q.some((v) => v !== 0)) {
      attitude.set(q[1], q[2], q[3], q[0]).normalize();
    } else {
      attitude.identity();
    }
    this.robot.quaternion.copy(attitude);
    this.robot.position.z = this.groundClearance(frame.legs, attitude);
    this.robot.visible = true;
  }

  // Height that puts the lowest foot, turned by the attitude, on the grid.
  groundClearance(legs, attitude) {
    const foot = this.scratch.a;
    let lowest = Infinity;
    for (const leg of legs) {
      foot.fromArray(leg[POINTS_PER_LEG - 1]).applyQuaternion(attitude);
      lowest = Math.min(lowest, foot.z);
    }
    return FOOT_RADIUS - lowest;
  }

  render() {
    if (this.renderer) this.renderer.render(this.scene, this.camera);
  }
}

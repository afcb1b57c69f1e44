// LegGeometry, IkResult and LegKinematics, with numpy arrays in and out.
// pybind11's array_t imports numpy on its first use, not when the module is
// imported: the module works without numpy, and only these calls need it.
#include <kalvent_legged_sdk.h>
#include <pybind11/numpy.h>

#include <string>

#include "bindings.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Three numbers from any array-like (a numpy array, a list, a tuple).
sdk::Vec3 vec3(const Array& a, const char* name) {
  if (a.size() != 3) {
    throw py::value_error(std::string(name) + " must hold 3 numbers, not " +
                          std::to_string(a.size()));
  }
  return {a.data()[0], a.data()[1], a.data()[2]};
}

Array toArray(const sdk::Vec3& v) {
  Array a(3);
  for (int i = 0; i < 3; ++i) a.mutable_data()[i] = v[i];
  return a;
}

Array toArray(const sdk::Mat3& m) {
  Array a({3, 3});
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) a.mutable_at(r, c) = m[r][c];
  }
  return a;
}

// A leg's call at joint angles q with one more vector, `name` in messages.
template <sdk::Vec3 (sdk::LegKinematics::*call)(int, const sdk::Vec3&, const sdk::Vec3&) const>
auto atAnglesWith(const char* name) {
  return [name](const sdk::LegKinematics& k, int leg, const Array& q, const Array& v) {
    return toArray((k.*call)(leg, vec3(q, "q"), vec3(v, name)));
  };
}

}  // namespace

void bindKinematics(py::module_& m) {
  py::class_<sdk::LegGeometry>(
      m, "LegGeometry",
      "Leg dimensions, m; the default is kalvent_sim's robot. Body frame: x forward, y left,\n"
      "z up, origin at the trunk's centre. hipOffset (4x3) and sideSign (4) are numpy arrays\n"
      "per leg (FR, FL, RR, RL); sideSign is +1 on the left, -1 on the right.")
      .def(py::init<>())
      .def_property(
          "hipOffset",
          [](const sdk::LegGeometry& g) {
            Array a({4, 3});
            for (int leg = 0; leg < 4; ++leg) {
              for (int i = 0; i < 3; ++i) a.mutable_at(leg, i) = g.hipOffset[leg][i];
            }
            return a;
          },
          [](sdk::LegGeometry& g, const Array& a) {
            if (a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 3) {
              throw py::value_error("hipOffset must be 4 x 3");
            }
            for (int leg = 0; leg < 4; ++leg) {
              for (int i = 0; i < 3; ++i) g.hipOffset[leg][i] = a.at(leg, i);
            }
          },
          "Hip axis position per leg, m, body frame (4 x 3).")
      .def_property(
          "sideSign",
          [](const sdk::LegGeometry& g) {
            Array a(4);
            for (int leg = 0; leg < 4; ++leg) a.mutable_data()[leg] = g.sideSign[leg];
            return a;
          },
          [](sdk::LegGeometry& g, const Array& a) {
            if (a.size() != 4) throw py::value_error("sideSign must hold 4 numbers");
            for (int leg = 0; leg < 4; ++leg) g.sideSign[leg] = a.data()[leg];
          },
          "+1 for a left leg, -1 for a right one (4).")
      .def_readwrite("abductionLength", &sdk::LegGeometry::abductionLength,
                     "Hip axis to thigh joint, m.")
      .def_readwrite("thighLength", &sdk::LegGeometry::thighLength, "Thigh joint to knee, m.")
      .def_readwrite("calfLength", &sdk::LegGeometry::calfLength, "Knee to the foot's centre, m.")
      .def_readwrite("footRadius", &sdk::LegGeometry::footRadius, "Radius of the foot's ball, m.");

  py::enum_<sdk::IkResult>(m, "IkResult", "What LegKinematics.inverseKinematics found.")
      .value("Reached", sdk::IkResult::Reached)
      .value("OutOfReach", sdk::IkResult::OutOfReach)
      .value("Invalid", sdk::IkResult::Invalid);

  py::class_<sdk::LegKinematics>(
      m, "LegKinematics",
      "Kinematics of the four legs (leg 0-3: FR, FL, RR, RL; joints hip, thigh, calf) in the\n"
      "body frame: m, rad, N, N·m. The foot position is the centre of the foot's ball; a foot\n"
      "force is the force the foot applies ON the ground (z < 0 when carrying weight).\n"
      "Arguments are array-likes of 3 numbers; results are numpy arrays: these calls need\n"
      "numpy (python3-numpy). A leg outside 0-3 raises IndexError.")
      .def(py::init<>(), "The default geometry: kalvent_sim's robot.")
      .def(py::init<const sdk::LegGeometry&>(), py::arg("geometry"))
      .def("geometry", &sdk::LegKinematics::geometry, "A copy of the geometry.")
      .def(
          "footPosition",
          [](const sdk::LegKinematics& k, int leg, const Array& q) {
            return toArray(k.footPosition(leg, vec3(q, "q")));
          },
          py::arg("leg"), py::arg("q"), "The foot's centre for joint angles q, m (3).")
      .def(
          "footJacobian",
          [](const sdk::LegKinematics& k, int leg, const Array& q) {
            return toArray(k.footJacobian(leg, vec3(q, "q")));
          },
          py::arg("leg"), py::arg("q"),
          "The foot Jacobian (3 x 3): rows x, y, z; columns hip, thigh, calf.")
      .def(
          "inverseKinematics",
          [](const sdk::LegKinematics& k, int leg, const Array& target) {
            sdk::Vec3 q{};
            const sdk::IkResult result = k.inverseKinematics(leg, vec3(target, "target"), q);
            return py::make_tuple(result, result == sdk::IkResult::Invalid
                                              ? py::object(py::none())
                                              : py::object(toArray(q)));
          },
          py::arg("leg"), py::arg("target"),
          "(result, q): the angles that put the foot's centre at target, knee bent backwards.\n"
          "OutOfReach: q stretches or folds the leg towards the target. Invalid (a coordinate\n"
          "not finite): q is None.")
      .def("jointTorques", atAnglesWith<&sdk::LegKinematics::jointTorques>("footForce"),
           py::arg("leg"), py::arg("q"), py::arg("footForce"),
           "J^T footForce, N·m: the torques that make the foot push on the ground with footForce.")
      .def("footVelocity", atAnglesWith<&sdk::LegKinematics::footVelocity>("dq"), py::arg("leg"),
           py::arg("q"), py::arg("dq"), "J dq: the foot's velocity relative to the trunk, m/s.");
}

}  // namespace kalvent_python

// The records as Python classes: fields by their C++ names, byte images,
// and nested records and arrays that write through to their parent.
#include <kalvent_legged_sdk.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "joint_arrays.h"
#include "record_view.h"

namespace kalvent_python {

namespace sdk = KALVENT_LEGGED_SDK;

size_t checkedIndex(long index, size_t length) {
  const long size = static_cast<long>(length);
  if (index < 0) index += size;
  if (index < 0 || index >= size) throw py::index_error("index out of range");
  return static_cast<size_t>(index);
}

namespace {

// An array view's sequence protocol: len, and indexing (negative from the
// end) that reads and writes through to the record it lies in.
template <typename View, typename Element>
py::class_<View> bindArray(py::module_& m, const char* name, const char* doc,
                           const char* getDoc = nullptr, const char* setDoc = nullptr) {
  py::class_<View> cls(m, name, doc);
  cls.def("__len__", [](const View& v) { return v.length; })
      .def(
          "__getitem__", [](const View& v, long i) { return v.get(checkedIndex(i, v.length)); },
          py::arg("index"), getDoc)
      .def(
          "__setitem__",
          [](const View& v, long i, const Element& value) {
            v.set(checkedIndex(i, v.length), value);
          },
          py::arg("index"), py::arg("value"), setDoc);
  return cls;
}

template <typename E>
void bindNumberArray(py::module_& m, const char* name, const char* doc) {
  using View = NumberArrayView<E>;
  bindArray<View, E>(m, name, doc)
      .def(
          "tolist", [](const View& v) { return v.values(); }, "The values as a new list.")
      .def("__repr__",
           [](const View& v) { return static_cast<std::string>(py::repr(py::cast(v.values()))); });
}

template <typename R>
void bindRecordArray(py::module_& m, const char* name, const char* doc) {
  bindArray<RecordArrayView<R>, RecordView<R>>(
      m, name, doc, "A view of the element: writing its fields writes the parent.",
      "Copies a record into the element.");
}

// A number field's C++ type as its docstring states it when there is no
// more to say: "float", "uint8", "40 x uint8".
template <typename T>
std::string typeText() {
  if constexpr (std::is_array_v<T>) {
    return std::to_string(std::extent_v<T>) + " x " + typeText<std::remove_extent_t<T>>();
  } else if constexpr (std::is_floating_point_v<T>) {
    static_assert(std::is_same_v<T, float>, "the records' floats are 32-bit");
    return "float";
  } else {
    static_assert(std::is_integral_v<T>, "a field of records needs a docstring of its own");
    return (std::is_signed_v<T> ? "int" : "uint") + std::to_string(8 * sizeof(T));
  }
}

// One record class under construction: the fields are declared one by one
// with their C++ type (through the member pointer, never dereferenced) and
// byte offset.
template <typename R>
class RecordClass {
 public:
  using View = RecordView<R>;

  RecordClass(py::module_& m, const char* name, const char* doc)
      : cls_(m, name, doc), fields_(std::make_shared<std::vector<Field>>()) {
    cls_.def(py::init([](const py::kwargs& fields) {
               View view;
               py::object self = py::cast(view);
               for (const auto& item : fields) py::setattr(self, item.first, item.second);
               return view;
             }),
             "All bytes zero, then each keyword argument set as a field.");
    cls_.def(
        "__bytes__",
        [](const View& v) { return py::bytes(reinterpret_cast<const char*>(v.bytes), sizeof(R)); },
        "The record's byte image, exactly as the C++ record lies in memory.");
    cls_.def_static(
        "from_bytes",
        [](const py::buffer& image) {
          const py::buffer_info info = image.request();
          const size_t length = static_cast<size_t>(info.size * info.itemsize);
          if (length != sizeof(R) || !PyBuffer_IsContiguous(info.view(), 'C')) {
            throw py::value_error("needs " + std::to_string(sizeof(R)) + " contiguous bytes, got " +
                                  std::to_string(length));
          }
          View view;
          std::memcpy(view.bytes, info.ptr, sizeof(R));
          return view;
        },
        py::arg("image"),
        "A new record from its byte image (any bytes-like object of SIZE bytes).");
    cls_.def(
        "__eq__",
        [](const View& a, const View& b) { return std::memcmp(a.bytes, b.bytes, sizeof(R)) == 0; },
        py::is_operator());
    cls_.def("copy", &copyOf,
             "A record of its own with the same bytes (a view becomes independent of its "
             "parent).");
    cls_.def("__copy__", &copyOf);
    cls_.def(
        "__deepcopy__", [](const View& v, const py::object&) { return copyOf(v); },
        py::arg("memo"));
    cls_.attr("__hash__") = py::none();
    cls_.attr("SIZE") = sizeof(R);
    auto fields = fields_;
    const std::string className = name;
    cls_.def("__repr__", [fields, className](const py::object& self) {
      std::string text = className + "(";
      for (size_t i = 0; i < fields->size(); ++i) {
        const Field& field = (*fields)[i];
        text += (i ? ", " : "") + field.name + "=";
        text +=
            field.shown ? static_cast<std::string>(py::repr(self.attr(field.name.c_str()))) : "...";
      }
      return text + ")";
    });
  }

  template <typename T>
  RecordClass& field(const char* name, T R::*, size_t offset, const char* doc) {
    if constexpr (std::is_arithmetic_v<T>) {
      cls_.def_property(
          name,
          [offset](const View& v) {
            T value;
            std::memcpy(&value, v.bytes + offset, sizeof(T));
            return value;
          },
          [offset](const View& v, T value) { std::memcpy(v.bytes + offset, &value, sizeof(T)); },
          doc);
      fields_->push_back({name, true});
    } else if constexpr (std::is_array_v<T>) {
      using E = std::remove_extent_t<T>;
      constexpr size_t length = std::extent_v<T>;
      if constexpr (std::is_arithmetic_v<E>) {
        cls_.def_property(
            name,
            [offset](const View& v) {
              return NumberArrayView<E>{v.owner, v.bytes + offset, length};
            },
            [offset](const View& v, const std::vector<E>& values) {
              if (values.size() != length) {
                throw py::value_error("needs " + std::to_string(length) + " values");
              }
              std::memcpy(v.bytes + offset, values.data(), sizeof(T));
            },
            doc);
        fields_->push_back({name, length <= 4});
      } else {
        cls_.def_property(
            name,
            [offset](const View& v) {
              return RecordArrayView<E>{v.owner, v.bytes + offset, length};
            },
            [offset](const View& v, const std::vector<RecordView<E>>& values) {
              if (values.size() != length) {
                throw py::value_error("needs " + std::to_string(length) + " records");
              }
              const RecordArrayView<E> elements{v.owner, v.bytes + offset, length};
              for (size_t i = 0; i < length; ++i) elements.set(i, values[i]);
            },
            doc);
        fields_->push_back({name, false});
      }
    } else {
      cls_.def_property(
          name, [offset](const View& v) { return RecordView<T>(v.owner, v.bytes + offset); },
          [offset](const View& v, const RecordView<T>& value) {
            std::memmove(v.bytes + offset, value.bytes, sizeof(T));
          },
          doc);
      fields_->push_back({name, false});
    }
    return *this;
  }

  // A field whose docstring is its C++ type alone.
  template <typename T>
  RecordClass& field(const char* name, T R::*member, size_t offset) {
    return field(name, member, offset, typeText<T>().c_str());
  }

  py::class_<View>& cls() { return cls_; }

  // The five fields every packet record begins with.
  RecordClass& packetHeader() {
    return field("levelFlag", &R::levelFlag, offsetof(R, levelFlag))
        .field("commVersion", &R::commVersion, offsetof(R, commVersion))
        .field("robotID", &R::robotID, offsetof(R, robotID))
        .field("SN", &R::SN, offsetof(R, SN))
        .field("bandWidth", &R::bandWidth, offsetof(R, bandWidth));
  }

  // The two fields every packet record ends with.
  RecordClass& packetTrailer(const char* crcDoc) {
    return field("reserve", &R::reserve, offsetof(R, reserve))
        .field("crc", &R::crc, offsetof(R, crc), crcDoc);
  }

  // The fields that end both state records.
  RecordClass& stateTrailer(const char* crcDoc) {
    return field("footForce", &R::footForce, offsetof(R, footForce),
                 "measured foot contact force, per leg")
        .field("footForceEst", &R::footForceEst, offsetof(R, footForceEst),
               "estimated foot contact force, per leg")
        .field("tick", &R::tick, offsetof(R, tick), "controller tick counter")
        .field("wirelessRemote", &R::wirelessRemote, offsetof(R, wirelessRemote))
        .packetTrailer(crcDoc);
  }

  // The body's motion, as the high-level state reports it and the command
  // asks for it.
  RecordClass& motion() {
    return field("forwardSpeed", &R::forwardSpeed, offsetof(R, forwardSpeed))
        .field("sideSpeed", &R::sideSpeed, offsetof(R, sideSpeed))
        .field("rotateSpeed", &R::rotateSpeed, offsetof(R, rotateSpeed))
        .field("bodyHeight", &R::bodyHeight, offsetof(R, bodyHeight));
  }

 private:
  static View copyOf(const View& v) {
    View copy;
    std::memcpy(copy.bytes, v.bytes, sizeof(R));
    return copy;
  }

  struct Field {
    std::string name;
    bool shown;  // in the repr; long arrays and nested records are not
  };
  py::class_<View> cls_;
  std::shared_ptr<std::vector<Field>> fields_;
};

void bindSmallRecords(py::module_& m) {
  using sdk::Cartesian;
  using sdk::IMU;
  using sdk::LED;
  RecordClass<Cartesian>(m, "Cartesian", "A point or vector in three dimensions (12 bytes).")
      .field("x", &Cartesian::x, offsetof(Cartesian, x))
      .field("y", &Cartesian::y, offsetof(Cartesian, y))
      .field("z", &Cartesian::z, offsetof(Cartesian, z));
  RecordClass<IMU>(m, "IMU", "Body inertial measurement unit reading (53 bytes).")
      .field("quaternion", &IMU::quaternion, offsetof(IMU, quaternion), "orientation, 4 floats")
      .field("gyroscope", &IMU::gyroscope, offsetof(IMU, gyroscope), "angular velocity, three axes")
      .field("accelerometer", &IMU::accelerometer, offsetof(IMU, accelerometer),
             "linear acceleration, three axes")
      .field("rpy", &IMU::rpy, offsetof(IMU, rpy), "roll, pitch, yaw")
      .field("temperature", &IMU::temperature, offsetof(IMU, temperature));
  RecordClass<LED>(m, "LED", "One LED colour (3 bytes).")
      .field("r", &LED::r, offsetof(LED, r))
      .field("g", &LED::g, offsetof(LED, g))
      .field("b", &LED::b, offsetof(LED, b));
}

void bindMotorRecords(py::module_& m) {
  using sdk::MotorCmd;
  using sdk::MotorState;
  RecordClass<MotorState>(m, "MotorState", "State of one joint motor (38 bytes).")
      .field("mode", &MotorState::mode, offsetof(MotorState, mode), "motor mode in force")
      .field("q", &MotorState::q, offsetof(MotorState, q), "joint position, rad")
      .field("dq", &MotorState::dq, offsetof(MotorState, dq), "joint velocity, rad/s")
      .field("ddq", &MotorState::ddq, offsetof(MotorState, ddq), "joint acceleration")
      .field("tauEst", &MotorState::tauEst, offsetof(MotorState, tauEst),
             "estimated joint torque, N·m")
      .field("q_raw", &MotorState::q_raw, offsetof(MotorState, q_raw))
      .field("dq_raw", &MotorState::dq_raw, offsetof(MotorState, dq_raw))
      .field("ddq_raw", &MotorState::ddq_raw, offsetof(MotorState, ddq_raw))
      .field("temperature", &MotorState::temperature, offsetof(MotorState, temperature))
      .field("reserve", &MotorState::reserve, offsetof(MotorState, reserve));
  RecordClass<MotorCmd>(m, "MotorCmd", "Command for one joint motor (33 bytes).")
      .field("mode", &MotorCmd::mode, offsetof(MotorCmd, mode),
             "motor mode; 10 after InitCmdData, 0 means no torque")
      .field("q", &MotorCmd::q, offsetof(MotorCmd, q),
             "target position, rad; PosStopF: no position target")
      .field("dq", &MotorCmd::dq, offsetof(MotorCmd, dq),
             "target velocity, rad/s; VelStopF: no velocity target")
      .field("tau", &MotorCmd::tau, offsetof(MotorCmd, tau), "feed-forward torque, N·m")
      .field("Kp", &MotorCmd::Kp, offsetof(MotorCmd, Kp), "position gain (stiffness)")
      .field("Kd", &MotorCmd::Kd, offsetof(MotorCmd, Kd), "velocity gain (damping)")
      .field("reserve", &MotorCmd::reserve, offsetof(MotorCmd, reserve));
}

// The low level's crc; the high level's is checked and stamped.
constexpr const char* lowCrcDoc = "not used on the UDP link";

void bindLowRecords(py::module_& m) {
  using sdk::LowCmd;
  using sdk::LowState;
  RecordClass<LowState> state(
      m, "LowState",
      "Low-level state as the user reads it (891 bytes). Slot k = 3 * leg + joint.\n\n"
      "joint_state() reads the twelve leg joints' q, dq and tauEst in one call.");
  state.packetHeader()
      .field("imu", &LowState::imu, offsetof(LowState, imu), "IMU, a view into this record")
      .field("motorState", &LowState::motorState, offsetof(LowState, motorState),
             "20 MotorState, views into this record")
      .stateTrailer(lowCrcDoc);
  bindLowStateJoints(state.cls());

  RecordClass<LowCmd> cmd(
      m, "LowCmd",
      "Low-level command as the user fills it (730 bytes). Slot k = 3 * leg + joint.\n\n"
      "set_joints() writes the twelve leg joints' q, dq, Kp, Kd, tau (and mode) in one call.");
  cmd.packetHeader()
      .field("motorCmd", &LowCmd::motorCmd, offsetof(LowCmd, motorCmd),
             "20 MotorCmd, views into this record")
      .field("led", &LowCmd::led, offsetof(LowCmd, led), "4 LED")
      .field("wirelessRemote", &LowCmd::wirelessRemote, offsetof(LowCmd, wirelessRemote))
      .packetTrailer(lowCrcDoc);
  bindLowCmdJoints(cmd.cls());
}

void bindHighRecords(py::module_& m) {
  using sdk::HighCmd;
  using sdk::HighState;
  RecordClass<HighState>(m, "HighState",
                         "High-level state, the packet received at the high level (256 bytes).")
      .packetHeader()
      .field("mode", &HighState::mode, offsetof(HighState, mode), "motion mode in force")
      .field("imu", &HighState::imu, offsetof(HighState, imu), "IMU, a view into this record")
      .motion()
      .field("updownSpeed", &HighState::updownSpeed, offsetof(HighState, updownSpeed))
      .field("forwardPosition", &HighState::forwardPosition, offsetof(HighState, forwardPosition))
      .field("sidePosition", &HighState::sidePosition, offsetof(HighState, sidePosition))
      .field("footPosition2Body", &HighState::footPosition2Body,
             offsetof(HighState, footPosition2Body), "4 Cartesian, per leg, relative to the body")
      .field("footSpeed2Body", &HighState::footSpeed2Body, offsetof(HighState, footSpeed2Body),
             "4 Cartesian, per leg, relative to the body")
      .stateTrailer("checksum of bytes 0-251");
  RecordClass<HighCmd>(m, "HighCmd",
                       "High-level command, the packet sent at the high level (143 bytes).")
      .packetHeader()
      .field("mode", &HighCmd::mode, offsetof(HighCmd, mode), "requested motion mode")
      .motion()
      .field("footRaiseHeight", &HighCmd::footRaiseHeight, offsetof(HighCmd, footRaiseHeight))
      .field("yaw", &HighCmd::yaw, offsetof(HighCmd, yaw))
      .field("pitch", &HighCmd::pitch, offsetof(HighCmd, pitch))
      .field("roll", &HighCmd::roll, offsetof(HighCmd, roll))
      .field("led", &HighCmd::led, offsetof(HighCmd, led), "4 LED")
      .field("wirelessRemote", &HighCmd::wirelessRemote, offsetof(HighCmd, wirelessRemote))
      .field("AppRemote", &HighCmd::AppRemote, offsetof(HighCmd, AppRemote))
      .packetTrailer("checksum of bytes 0-135, stamped by UDP.SetSend");
}

}  // namespace

void bindRecords(py::module_& m) {
  bindNumberArray<float>(m, "FloatArray", "Floats inside a record; indexing writes through.");
  bindNumberArray<uint8_t>(m, "UInt8Array", "Bytes inside a record; indexing writes through.");
  bindNumberArray<int16_t>(m, "Int16Array",
                           "16-bit integers inside a record; indexing writes through.");
  bindNumberArray<uint32_t>(m, "UInt32Array",
                            "32-bit unsigned integers inside a record; indexing writes through.");
  // Each class before the first that names it, so that signatures show it.
  bindSmallRecords(m);
  bindRecordArray<sdk::Cartesian>(m, "CartesianArray", "Cartesian records inside a record.");
  bindRecordArray<sdk::LED>(m, "LEDArray", "LED records inside a record.");
  bindMotorRecords(m);
  bindRecordArray<sdk::MotorState>(m, "MotorStateArray", "MotorState records inside a record.");
  bindRecordArray<sdk::MotorCmd>(m, "MotorCmdArray", "MotorCmd records inside a record.");
  bindLowRecords(m);
  bindHighRecords(m);
}

}  // namespace kalvent_python

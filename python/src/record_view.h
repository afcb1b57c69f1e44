// How Python objects stand for the packed records.
//
// A Python record is a view: a byte address plus a share of whatever owns
// the bytes. A record made in Python owns a record of its own; a nested
// record or array (state.motorState[3], state.imu.quaternion) points into
// its parent and keeps the parent alive, so writes go through to the parent
// and no view ever dangles. Every field is read and written by memcpy at its
// byte offset: the records are packed, and a float inside them may sit at
// any address.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace kalvent_python {

namespace py = pybind11;

// Bytes of one record of type R, owned or borrowed from a parent.
template <typename R>
struct RecordView {
  static_assert(alignof(R) == 1, "only packed records have views");

  // A zeroed record of its own.
  RecordView() {
    auto record = std::make_shared<R>();
    std::memset(static_cast<void*>(record.get()), 0, sizeof(R));
    bytes = reinterpret_cast<unsigned char*>(record.get());
    owner = std::move(record);
  }
  RecordView(std::shared_ptr<void> parentOwner, unsigned char* at)
      : owner(std::move(parentOwner)), bytes(at) {}

  // The record itself, for the library's calls. Its alignment is 1, so any
  // byte address holds one.
  R& record() const { return *reinterpret_cast<R*>(bytes); }

  std::shared_ptr<void> owner;
  unsigned char* bytes = nullptr;
};

// A fixed-length array of numbers inside a record.
template <typename E>
struct NumberArrayView {
  E get(size_t i) const {
    E value;
    std::memcpy(&value, bytes + i * sizeof(E), sizeof(E));
    return value;
  }
  void set(size_t i, E value) const { std::memcpy(bytes + i * sizeof(E), &value, sizeof(E)); }
  std::vector<E> values() const {
    std::vector<E> all(length);
    std::memcpy(all.data(), bytes, length * sizeof(E));
    return all;
  }

  std::shared_ptr<void> owner;
  unsigned char* bytes = nullptr;
  size_t length = 0;
};

// A fixed-length array of records inside a record.
template <typename R>
struct RecordArrayView {
  RecordView<R> get(size_t i) const { return RecordView<R>(owner, bytes + i * sizeof(R)); }
  // memmove: the record copied in may lie in this very array.
  void set(size_t i, const RecordView<R>& value) const {
    std::memmove(bytes + i * sizeof(R), value.bytes, sizeof(R));
  }

  std::shared_ptr<void> owner;
  unsigned char* bytes = nullptr;
  size_t length = 0;
};

// What Python passes for a library call's parameter: a view for a record,
// anything else as it is.
template <typename T>
struct PythonArgument {
  using type = T;
};
template <typename R>
struct PythonArgument<R&> {
  using type = RecordView<R>&;
};

template <typename R>
R& recordIn(RecordView<R>& view) {
  return view.record();
}
template <typename T>
T recordIn(T value) {
  return value;
}

// A member call that takes records, made with the records inside Python's
// views.
template <typename Object, typename... Params>
auto onRecords(void (Object::*call)(Params...)) {
  return [call](Object& object, typename PythonArgument<Params>::type... args) {
    (object.*call)(recordIn(args)...);
  };
}

// Python's index rules for a fixed-length array: negative counts from the
// end; out of range raises IndexError.
size_t checkedIndex(long index, size_t length);

}  // namespace kalvent_python

#include "py/core/json_convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "py/src/py_ref.h"

namespace velmoradb::py {
namespace {

// The place of the value being converted: the root's name, then each key
// (held, so the error can name it) or index on the way down.
class Place {
 public:
  explicit Place(const char* root) : root_(root) {}

  void push_key(PyObject* key) { steps_.push_back({PyRef::borrow(key), 0}); }
  void push_index(Py_ssize_t i) { steps_.push_back({PyRef(), i}); }
  void pop() { steps_.pop_back(); }
  int depth() const { return static_cast<int>(steps_.size()); }

  // "payload['tags'][2]", or null with an exception set.
  PyObject* render() const {
    PyRef text = PyRef::steal(PyUnicode_FromString(root_));
    for (const Step& step : steps_) {
      if (!text) return nullptr;
      if (step.key) {
        PyRef repr = PyRef::steal(PyObject_Repr(step.key.get()));
        if (!repr) return nullptr;
        text = PyRef::steal(PyUnicode_FromFormat("%U[%U]", text.get(), repr.get()));
      } else {
        text = PyRef::steal(PyUnicode_FromFormat("%U[%zd]", text.get(), step.index));
      }
    }
    return text.release();
  }

  // Raises `type` with "{place}: {what}"; returns false.
  bool fail(PyObject* type, const char* what) const {
    PyRef place = PyRef::steal(render());
    if (!place) return false;
    PyErr_Format(type, "%U: %s", place.get(), what);
    return false;
  }

  bool fail_type(PyObject* o, const char* expected) const {
    PyRef place = PyRef::steal(render());
    if (!place) return false;
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(o)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "%U: expected %s, got %U", place.get(), expected, name.get());
    return false;
  }

 private:
  struct Step {
    PyRef key;
    Py_ssize_t index;
  };
  const char* root_;
  std::vector<Step> steps_;
};

constexpr const char kValueTypes[] = "None, bool, int, float, str, list, tuple or dict";

bool to_utf8(PyObject* text, const Place& place, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return place.fail(PyExc_ValueError, "str is not encodable as UTF-8 (it holds a lone surrogate)");
  }
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert(PyObject* o, Place& place, JsonValue* out);

bool convert_dict(PyObject* o, Place& place, JsonObject* out) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(o, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyRef place_text = PyRef::steal(place.render());
      if (!place_text) return false;
      PyRef repr = PyRef::steal(PyObject_Repr(key));
      if (!repr) return false;
      PyRef type = PyRef::steal(PyType_GetName(Py_TYPE(key)));
      if (!type) return false;
      PyErr_Format(PyExc_TypeError, "%U: keys must be str, got %U key %U", place_text.get(),
                   type.get(), repr.get());
      return false;
    }
    place.push_key(key);
    std::string name;
    if (!to_utf8(key, place, &name)) return false;
    JsonValue converted;
    if (!convert(value, place, &converted)) return false;
    place.pop();
    (*out)[std::move(name)] = std::move(converted);
  }
  return true;
}

bool convert_items(PyObject* o, Place& place, JsonArray* out) {
  const bool is_list = PyList_Check(o);
  const Py_ssize_t n = is_list ? PyList_Size(o) : PyTuple_Size(o);
  if (n < 0) return false;
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
    if (item == nullptr) return false;
    PyRef held = PyRef::borrow(item);
    place.push_index(i);
    JsonValue converted;
    if (!convert(held.get(), place, &converted)) return false;
    place.pop();
    out->push_back(std::move(converted));
  }
  return true;
}

bool convert_int(PyObject* o, const Place& place, JsonValue* out) {
  const unsigned long long magnitude = PyLong_AsUnsignedLongLong(o);
  if (!(magnitude == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)) {
    *out = JsonValue(std::uint64_t{magnitude});
    return true;
  }
  PyErr_Clear();
  const long long value = PyLong_AsLongLong(o);
  if (!(value == -1 && PyErr_Occurred() != nullptr) && value < 0) {
    *out = JsonValue(std::int64_t{value});
    return true;
  }
  PyErr_Clear();
  return place.fail(PyExc_ValueError, "int out of range (-2**63 to 2**64-1)");
}

bool convert(PyObject* o, Place& place, JsonValue* out) {
  if (o == Py_None) {
    *out = JsonValue();
  } else if (PyBool_Check(o)) {
    *out = JsonValue(o == Py_True);
  } else if (PyLong_Check(o)) {
    return convert_int(o, place, out);
  } else if (PyFloat_Check(o)) {
    const double value = PyFloat_AsDouble(o);
    if (std::isnan(value)) return place.fail(PyExc_ValueError, "float is NaN");
    if (std::isinf(value)) return place.fail(PyExc_ValueError, "float is infinite");
    *out = JsonValue(value);
  } else if (PyUnicode_Check(o)) {
    std::string text;
    if (!to_utf8(o, place, &text)) return false;
    *out = JsonValue(std::move(text));
  } else if (PyDict_Check(o) || PyList_Check(o) || PyTuple_Check(o)) {
    if (place.depth() + 1 > kMaxPayloadDepth) {
      return place.fail(PyExc_ValueError, "nested too deeply (at most 126 levels of lists and dicts)");
    }
    if (PyDict_Check(o)) {
      JsonObject object;
      if (!convert_dict(o, place, &object)) return false;
      *out = JsonValue(std::move(object));
    } else {
      JsonArray array;
      if (!convert_items(o, place, &array)) return false;
      *out = JsonValue(std::move(array));
    }
  } else {
    return place.fail_type(o, kValueTypes);
  }
  return true;
}

PyObject* text_to_object(const std::string& text) {
  // Text written through this module is valid UTF-8; text written by other
  // programs may not be, and must still be readable.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

bool to_json_value(PyObject* o, const char* root, JsonValue* out) {
  Place place(root);
  return convert(o, place, out);
}

bool to_payload(PyObject* o, const char* root, Payload* out) {
  out->data.clear();
  if (o == Py_None) return true;
  Place place(root);
  if (!PyDict_Check(o)) return place.fail_type(o, "a dict");
  JsonObject object;
  if (!convert_dict(o, place, &object)) return false;
  out->data.reserve(object.size());
  for (auto& [key, value] : object) out->data.emplace(key, std::move(value));
  return true;
}

PyObject* json_to_object(const JsonValue& value) {
  struct Visitor {
    PyObject* operator()(std::nullptr_t) const { Py_RETURN_NONE; }
    PyObject* operator()(bool b) const { return PyBool_FromLong(b ? 1 : 0); }
    PyObject* operator()(std::uint64_t u) const { return PyLong_FromUnsignedLongLong(u); }
    PyObject* operator()(std::int64_t i) const { return PyLong_FromLongLong(i); }
    PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
    PyObject* operator()(const std::string& s) const { return text_to_object(s); }
    PyObject* operator()(const JsonArray& items) const {
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = json_to_object(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
      }
      return list.release();
    }
    PyObject* operator()(const JsonObject& members) const {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, member] : members) {
        PyRef name = PyRef::steal(text_to_object(key));
        if (!name) return nullptr;
        PyRef item = PyRef::steal(json_to_object(member));
        if (!item || PyDict_SetItem(dict.get(), name.get(), item.get()) != 0) return nullptr;
      }
      return dict.release();
    }
  };
  return std::visit(Visitor{}, value.v);
}

PyObject* payload_to_dict(const Payload& payload) {
  // The stored map is unordered: keys are given in ascending order, so the
  // same payload always reads back the same way.
  std::vector<const std::pair<const std::string, JsonValue>*> members;
  members.reserve(payload.data.size());
  for (const auto& member : payload.data) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto* member : members) {
    PyRef name = PyRef::steal(text_to_object(member->first));
    if (!name) return nullptr;
    PyRef item = PyRef::steal(json_to_object(member->second));
    if (!item || PyDict_SetItem(dict.get(), name.get(), item.get()) != 0) return nullptr;
  }
  return dict.release();
}

}  // namespace velmoradb::py

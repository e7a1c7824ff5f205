// Python values <-> the JSON value model of payloads (engine/index/payload.h).
//
// Python to JSON takes dict (str keys), list, tuple, None, bool, int
// (-2**63 .. 2**64-1), finite float and str, nested at most kMaxPayloadDepth
// containers deep counting the payload itself: a stored log entry holds the
// payload two objects down, and the decoder reads back 128 levels. Anything
// else is a TypeError or ValueError naming the place, as a user would index
// the value: "payload['tags'][2]: expected None, bool, int, float, str,
// list, tuple or dict, got set". No Python code runs during a conversion
// (the checks are exact type checks and the values are read directly), so a
// dict cannot change while it is read.
//
// JSON to Python gives dict, list, None, bool, int, float, str: an int stays
// an int, a float a float; a tuple comes back as a list.
#pragma once

#include <string>

#include "engine/index/payload.h"
#include "py/src/python.h"

namespace velmoradb::py {

inline constexpr int kMaxPayloadDepth = 126;

// `root` names the value in errors ("payload", "where"). `o` must be a dict
// for a payload; None is the empty payload.
[[nodiscard]] bool to_payload(PyObject* o, const char* root, Payload* out);
[[nodiscard]] bool to_json_value(PyObject* o, const char* root, JsonValue* out);

// New references, or null with an exception set.
PyObject* payload_to_dict(const Payload& payload);
PyObject* json_to_object(const JsonValue& value);

}  // namespace velmoradb::py

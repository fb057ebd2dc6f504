// The experience log line: one compact JSON object per decision record or
// resolution, byte for byte what json.dumps(obj, separators=(",", ":"))
// writes for it. The module writes the line itself when every value in it
// is one it renders exactly (json_value.hpp); otherwise the whole line goes
// through json.dumps, so its text and its exceptions are the interpreter's.
#pragma once

#include "pyref.hpp"

namespace sorvane::py {

// The line for one DecisionRecord (that carries its inputs) or Resolution.
PyObject* log_line(PyObject* item);

}  // namespace sorvane::py

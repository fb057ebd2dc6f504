// The JSON text of a caller's Python object, for the values whose text the
// module can produce itself exactly as json.dumps(obj, separators=(",", ":"))
// would: None, bool, and objects whose type is exactly str, int, float,
// list, tuple or dict, with dict keys of type str, int, float, bool or None.
//
// Anything else is declined rather than rendered: a subclass of these types,
// another type, a str that is not valid UTF-8 (a lone surrogate), nesting
// deeper than kMaxDepth (which also catches every reference cycle), or an
// interpreter recursion limit that json.dumps might hit first. The caller
// then renders the whole line with json.dumps, so its text and its
// exceptions are exactly the interpreter's.
//
// The walk runs no Python code, so the objects cannot change under it.
#pragma once

#include "json_text.hpp"

namespace sorvane::py {

class JsonValueWriter {
 public:
  // Containers nested deeper than this are left to json.dumps.
  static constexpr int kMaxDepth = 64;

  explicit JsonValueWriter(JsonText& out) : out_(out) {}
  ~JsonValueWriter();
  JsonValueWriter(const JsonValueWriter&) = delete;
  JsonValueWriter& operator=(const JsonValueWriter&) = delete;

  // Takes n levels of the interpreter's recursion allowance, as json.dumps
  // would for its own frames and the containers around obj, for as long as
  // this writer lives. False, with no error set, if they are not available.
  bool reserve_levels(int n);
  // Writes obj; false, with no error set, if it declined.
  bool value(PyObject* obj);

 private:
  bool enter();
  void leave();
  bool key(PyObject* obj);
  bool integer(PyObject* obj);
  bool text(PyObject* obj);
  bool array(PyObject* obj, bool is_list);
  bool object(PyObject* obj);

  JsonText& out_;
  int depth_ = 0;
  int reserved_ = 0;
};

}  // namespace sorvane::py

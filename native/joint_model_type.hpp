// The Python class JointModel of sorvane_cli._native (joint_model_type.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvane::toolkit {

// Adds the class to the module; -1 with the error set on failure.
int add_joint_model_type(PyObject* module);

}  // namespace sorvane::toolkit

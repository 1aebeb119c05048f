// The ClassInfo and FieldInfo records of tarvix.idd.
#pragma once

#include "py/binding.h"
#include "core/schema/schema.h"

namespace tarvix::idd {

// Creates the two record types and adds them to the module.
int setup_info_types(PyObject* module);

// A new ClassInfo describing `cls`; null with an exception set.
PyObject* class_info(const ClassDef& cls);

}  // namespace tarvix::idd

// Container: the Python class through which a program writes and reads one
// container file. Each object owns one library Container for its whole life
// and hands every operation to it.
#ifndef TARVEL_SRC_CONTAINER_H_
#define TARVEL_SRC_CONTAINER_H_

#include "src/python.h"

namespace tarvel_py {

// The type object (borrowed), created on first use; null with RuntimeError
// set when creation fails.
PyTypeObject* container_type();

}  // namespace tarvel_py

#endif  // TARVEL_SRC_CONTAINER_H_

// Frame and Preamble: descriptions of a file that reach Python as immutable
// values, compared by value and unhashable; Python code cannot make them.
#ifndef TARVEL_SRC_FRAME_TYPES_H_
#define TARVEL_SRC_FRAME_TYPES_H_

#include "container/frames.h"
#include "container/headers.h"
#include "src/python.h"

namespace tarvel_py {

PyTypeObject* frame_type();
PyTypeObject* preamble_type();

PyObject* make_frame(const tarvel::Frame& value);
PyObject* make_preamble(const tarvel::Preamble& value);

}  // namespace tarvel_py

#endif  // TARVEL_SRC_FRAME_TYPES_H_

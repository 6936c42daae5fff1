// The module functions that need no container: peek_headers, split_records,
// xxh64 and max_frames_for. Start-up adds each from its method definition.
#ifndef TARVEL_SRC_FUNCTIONS_H_
#define TARVEL_SRC_FUNCTIONS_H_

#include "container/headers.h"
#include "src/python.h"

namespace tarvel_py {

// A new dict of every header, keys and values as str; a repeated key keeps
// the position of its first entry and the value of its last.
PyObject* headers_dict(const tarvel::Headers& headers);

extern PyMethodDef peek_headers_def;
extern PyMethodDef split_records_def;
extern PyMethodDef xxh64_def;
extern PyMethodDef max_frames_for_def;

}  // namespace tarvel_py

#endif  // TARVEL_SRC_FUNCTIONS_H_

// The module functions that need no container: peek_headers, split_records,
// xxh64 and max_frames_for. Start-up adds each from its method definition.
#ifndef TARVEL_SRC_FUNCTIONS_H_
#define TARVEL_SRC_FUNCTIONS_H_

#include "src/python.h"

namespace tarvel_py {

extern PyMethodDef peek_headers_def;
extern PyMethodDef split_records_def;
extern PyMethodDef xxh64_def;
extern PyMethodDef max_frames_for_def;

}  // namespace tarvel_py

#endif  // TARVEL_SRC_FUNCTIONS_H_

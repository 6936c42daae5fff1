// The module functions that hand a path to a maintenance tool: validate,
// rebuild_headers and repack. Start-up adds each from its method definition.
#ifndef TARVEL_SRC_TOOL_FUNCTIONS_H_
#define TARVEL_SRC_TOOL_FUNCTIONS_H_

#include "src/python.h"

namespace tarvel_py {

extern PyMethodDef validate_def;
extern PyMethodDef rebuild_headers_def;
extern PyMethodDef repack_def;

}  // namespace tarvel_py

#endif  // TARVEL_SRC_TOOL_FUNCTIONS_H_

// The exports that belong to no handle kind. Every fallible export runs its
// body under ffi::guarded (frame.hpp); the reader exports live in
// reader_exports.cpp and the trainer, training and writer exports in
// build_exports.cpp.
#include "frame.hpp"
#include "tavren_dadiza.h"

namespace ffi = tavren::ffi;

extern "C" {

TAVREN_DADIZA_API const char* tavren_dadiza_last_error(void) { return ffi::last_error(); }

}  // extern "C"

// PLACEHOLDER: the C-interface owner replaces this file.
#include "tavren_dadiza.h"

extern "C" const char* tavren_dadiza_last_error(void) { return nullptr; }

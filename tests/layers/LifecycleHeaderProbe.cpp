// Built only by the layers test, with the menubar library's include path: a header of the layer
// above, included as a menubar file would include it, must stop the compile.
#include "app/lifecycle/URLExtensions.h"

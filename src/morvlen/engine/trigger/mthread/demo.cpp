// Placeholder: the demonstration.
#include "morvlen/engine/trigger/mthread/demo.h"

namespace morvlen::mthread {
int run_demonstration(PyObject*) { return 0; }
}  // namespace morvlen::mthread

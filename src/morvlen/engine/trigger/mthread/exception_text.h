#pragma once
// The text of an exception for an error message. A failure report must not
// itself fail because the exception's `__str__` raises: then the text says what
// can still be said (the type's name, the arguments' repr when it works).

#include "morvlen/engine/trigger/mthread/py_ref.h"

namespace morvlen::mthread {

// format(error, "") as an f-string shows it; when that raises an `Exception`,
// "<Type: str() 引发了 Other, args=(...)>" instead. Null with an exception set
// only for an exception outside `Exception` (such as KeyboardInterrupt) or when
// no text at all can be made.
Ref exception_text(PyObject* error);

}  // namespace morvlen::mthread

#pragma once
// A Python object shared by C++ owners that may be copied or destroyed without
// the GIL (node builders stored in std::function, nodes torn down from any thread).

#include <memory>

#include <nanobind/nanobind.h>

namespace morvlen::bt {

using PyRef = std::shared_ptr<const nanobind::object>;

// Takes the GIL for the final release; once the interpreter is finalising the
// reference is dropped without releasing it (the object is gone with the process).
inline PyRef make_py_ref(nanobind::object object) {
    return PyRef(new nanobind::object(std::move(object)), [](const nanobind::object* raw) {
        std::unique_ptr<nanobind::object> owned(const_cast<nanobind::object*>(raw));
        if (!nanobind::is_alive()) {
            owned->release();
            return;
        }
        nanobind::gil_scoped_acquire gil;
        owned.reset();
    });
}

}  // namespace morvlen::bt

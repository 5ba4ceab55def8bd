#pragma once
// Reading document files: regular files only, never more than a size limit, and
// never a wait (a FIFO or a device is refused, not opened for a blocking read).

#include <cstdint>
#include <filesystem>
#include <string>

#include "morvlen/core/errors.h"

namespace morvlen::bt {

// Why a document file could not be read. `error_number` is the errno of a failed
// open or read, 0 when the file was refused (not a regular file, too large).
struct DocumentFileError : BehaviorTreeError {
    DocumentFileError(const std::string& message, int error_number)
        : BehaviorTreeError(message), error_number(error_number) {}
    int error_number;
};

// The bytes of the regular file at `path`, at most `max_bytes` of them (the limit is
// named `limit_name` in the refusal). With `confine_to`, the file opened must be
// the one `path` names inside that directory once it is open, so that a link
// swapped after the caller's own check cannot lead outside. Does not need the GIL.
std::string read_document_file(const std::filesystem::path& path, std::int64_t max_bytes, std::string_view limit_name,
                               const std::filesystem::path* confine_to = nullptr);

// `path` made absolute with symbolic links resolved, as far as it exists.
std::filesystem::path resolved_path(const std::filesystem::path& path);

// Whether the resolved `path` lies inside the directory `dir`.
bool lies_inside(const std::filesystem::path& path, const std::filesystem::path& dir);

}  // namespace morvlen::bt

// Reading document files with POSIX calls: the file is opened without blocking and
// checked with fstat, so the check and the read concern the same file.
#include "morvlen/core/document_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "morvlen/core/document_limits.h"

namespace morvlen::bt {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int error_number) {
    throw DocumentFileError(path.string() + ": " + what, error_number);
}

[[noreturn]] void fail_errno(const std::filesystem::path& path, const char* doing) {
    const int error_number = errno;
    fail(path, std::string(doing) + ": " + std::strerror(error_number), error_number);
}

std::string_view kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// Whether the open file `info` is the file that `path` names now, inside `dir`.
bool is_inside_now(const std::filesystem::path& path, const struct stat& info, const std::filesystem::path& dir) {
    const auto now = resolved_path(path);
    struct stat named {};
    return lies_inside(now, dir) && ::stat(now.c_str(), &named) == 0 && named.st_dev == info.st_dev &&
           named.st_ino == info.st_ino;
}

}  // namespace

std::string read_document_file(const std::filesystem::path& path, std::int64_t max_bytes, std::string_view limit_name,
                               const std::filesystem::path* confine_to) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) fail_errno(path, "cannot open");
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) fail_errno(path, "cannot read");
    if (confine_to && !is_inside_now(path, info, *confine_to)) {
        fail(path, "the file opened is not the one inside the include directory " + confine_to->string() +
                   " (a link changed while it was opened)", 0);
    }
    if (!S_ISREG(info.st_mode)) {
        // A directory keeps its errno: opening one as a document is an OSError like any other.
        fail(path, "cannot read " + std::string(kind_of(info.st_mode)) + ", only regular files",
             S_ISDIR(info.st_mode) ? EISDIR : 0);
    }
    const auto too_large = [&](std::int64_t size) {
        fail(path, "the file holds " + std::to_string(size) + " bytes, " + over_limit(limit_name, max_bytes), 0);
    };
    if (info.st_size > max_bytes) too_large(info.st_size);
    // Read one byte past the limit: a file that grew meanwhile is refused too.
    std::string content(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t filled = 0;
    while (true) {
        if (filled == content.size()) {
            if (static_cast<std::int64_t>(filled) > max_bytes) too_large(static_cast<std::int64_t>(filled));
            content.resize(std::min<std::size_t>(content.size() * 2, static_cast<std::size_t>(max_bytes) + 1));
        }
        const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail_errno(path, "cannot read");
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    content.resize(filled);
    return content;
}

std::filesystem::path resolved_path(const std::filesystem::path& path) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(path, ignored);
    auto resolved = std::filesystem::weakly_canonical(absolute, ignored);
    return resolved.empty() ? absolute.lexically_normal() : resolved;
}

bool lies_inside(const std::filesystem::path& path, const std::filesystem::path& dir) {
    const auto relative = resolved_path(path).lexically_relative(resolved_path(dir));
    return !relative.empty() && *relative.begin() != "..";
}

}  // namespace morvlen::bt

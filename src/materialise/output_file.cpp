#include "materialise/output_file.hpp"

#include "binding/error.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

namespace tevra {

namespace {

// Raises the OSError subclass that errno `err` maps to, naming `path` as a failed open()
// of it would.
[[noreturn]] void throw_os_error(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    throw_pending();
}

// The path in the file system's encoding, as open() would be given it.
std::string encoded_path(PyObject* path) {
    Ref bytes = check(PyUnicode_EncodeFSDefault(path));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// A signal arriving during a system call: run its handler, which may raise (a
// KeyboardInterrupt, say), as the host's own file code does before retrying.
void handle_interrupt() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

std::uint64_t random_tag() {
    std::uint64_t tag = 0;
    if (getrandom(&tag, sizeof tag, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof tag)) return tag;
    // No entropy yet: O_EXCL still guarantees the name is ours, so a weaker tag only
    // costs retries.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15u ^ static_cast<std::uint64_t>(getpid());
}

// ".value.json.<16 hex digits>.tmp" beside the target in the same directory, so the
// rename never crosses file systems.
std::string temp_name(std::string_view target) {
    static constexpr char hex[] = "0123456789abcdef";
    std::uint64_t tag = random_tag();
    std::string name = ".";
    name += target;
    name += '.';
    for (int i = 0; i < 16; ++i, tag >>= 4) name += hex[tag & 0xF];
    name += ".tmp";
    return name;
}

// The temporary file until it has been renamed into place: closed and unlinked on every
// way out that does not get that far.
class TempFile {
public:
    explicit TempFile(int directory) noexcept : directory_(directory) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlinkat(directory_, name_.c_str(), 0);
    }

    // Creates a file of a name nobody else holds; mode 0666 so that the umask decides
    // its permissions, as for any file the user's programs create.
    void create(std::string_view target, PyObject* path) {
        for (int attempt = 0;; ++attempt) {
            std::string name = temp_name(target);
            const int fd = ::openat(directory_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = fd;
                name_ = std::move(name);
                return;
            }
            const int err = errno;
            if (err == EINTR)
                handle_interrupt();
            else if (err != EEXIST || attempt >= 100)
                throw_os_error(err, path);
        }
    }

    void write_all(std::string_view data, PyObject* path) {
        while (!data.empty()) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n < 0) {
                const int err = errno;
                if (err != EINTR) throw_os_error(err, path);
                handle_interrupt();
                continue;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Some file systems report a failed write only when the file is closed.
    void close(PyObject* path) {
        const int fd = fd_;
        fd_ = -1;
        // Not retried on EINTR: on Linux the descriptor is gone either way.
        if (::close(fd) < 0 && errno != EINTR) throw_os_error(errno, path);
    }

    void rename_to(const std::string& target, PyObject* path) {
        if (::renameat(directory_, name_.c_str(), directory_, target.c_str()) < 0) throw_os_error(errno, path);
        name_.clear();  // it is the target now
    }

private:
    int directory_;
    int fd_ = -1;
    std::string name_;
};

}  // namespace

OutputDirectory::OutputDirectory(PyObject* file_path) {
    // The directory part of the path, as the system would resolve it for the file itself:
    // everything before the last slash ("/" for a file at the root), or "." for a bare name.
    const std::string file = encoded_path(file_path);
    const auto slash = file.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : file.substr(0, slash == 0 ? 1 : slash);
    // O_PATH: the handle only names the directory, so it needs no read permission on it,
    // just as the paths it stands in for did not.
    for (;;) {
        fd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd_ >= 0) return;
        const int err = errno;
        if (err != EINTR) throw_os_error(err, file_path);
        handle_interrupt();
    }
}

OutputDirectory::~OutputDirectory() { ::close(fd_); }

void OutputDirectory::replace_file(std::string_view name, PyObject* path, std::string_view data) const {
    const std::string target(name);
    TempFile file(fd_);
    file.create(target, path);
    file.write_all(data, path);
    file.close(path);
    file.rename_to(target, path);
}

void OutputDirectory::remove_file(std::string_view name, PyObject* path) const {
    const std::string target(name);
    if (::unlinkat(fd_, target.c_str(), 0) < 0 && errno != ENOENT) throw_os_error(errno, path);
}

}  // namespace tevra

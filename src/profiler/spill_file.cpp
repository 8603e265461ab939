#include "profiler/spill_file.hpp"

#include <Python.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sarn {

namespace {

Error os_error(const char* what, int code) {
    return Error::raise(PyExc_OSError, std::string(what) + ": " + std::strerror(code));
}

// A file without a name in `directory`: O_TMPFILE where the file system has
// it, otherwise a fresh file unlinked at once.
int open_nameless(const std::string& directory) {
#ifdef O_TMPFILE
    int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string pattern = directory + "/.sarn-spill-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int made = ::mkostemp(name.data(), O_CLOEXEC);
    if (made >= 0) ::unlink(name.data());
    return made;
}

}  // namespace

Result<std::shared_ptr<SpillFile>> SpillFile::open(const std::string& directory) {
    int fd = open_nameless(directory.empty() ? std::string(".") : directory);
    if (fd < 0) {
        const char* temporary = std::getenv("TMPDIR");
        fd = open_nameless(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp");
    }
    if (fd < 0) return fail(os_error("cannot make a file to hold the records of a long recording", errno));
    return std::shared_ptr<SpillFile>(new SpillFile(fd, ::getpid()));
}

SpillFile::~SpillFile() { ::close(fd_); }

Result<uint64_t> SpillFile::append(std::string_view bytes) {
    std::lock_guard<std::mutex> guard(append_mutex_);
    const uint64_t offset = end_;
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t step = ::pwrite(fd_, bytes.data() + written, bytes.size() - written,
                                static_cast<off_t>(offset + written));
        if (step < 0 && errno == EINTR) continue;
        // A short write leaves bytes past `end_` that no chunk refers to:
        // the next append writes over them.
        if (step <= 0) return fail(os_error("cannot write records out of memory", step < 0 ? errno : ENOSPC));
        written += static_cast<size_t>(step);
    }
    end_ += bytes.size();
    return offset;
}

Status SpillFile::read(uint64_t offset, uint64_t size, char* out) const {
    uint64_t done = 0;
    while (done < size) {
        ssize_t step = ::pread(fd_, out + done, static_cast<size_t>(size - done), static_cast<off_t>(offset + done));
        if (step < 0 && errno == EINTR) continue;
        if (step <= 0) return fail(os_error("cannot read records back", step < 0 ? errno : EIO));
        done += static_cast<uint64_t>(step);
    }
    return {};
}

}  // namespace sarn

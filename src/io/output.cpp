// Safe output files: see output.hpp for the rules. The unnamed temporary
// gets its name by linkat through /proc/self/fd (or AT_EMPTY_PATH where the
// process may use it) under a fresh hidden name, which rename() then moves
// over the target in one step; only that instant between the two calls ever
// shows a hidden name in the folder.

#include "io/output.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/dimacs.hpp"

namespace quillet::io {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string temporary_folder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// The path with every symbolic link resolved, or the path itself when it
// does not exist yet.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return path;
    return buffer;
}

// An unnamed file in `folder`, or -1 where the file system refuses O_TMPFILE.
int open_unnamed(const std::string& folder, const mode_t mode) {
#ifdef O_TMPFILE
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    // Refused by this file system (or kernel): take a named file instead.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return -1;
    fail("cannot create a file in " + folder);
#else
    (void)folder;
    (void)mode;
#endif
    return -1;
}

std::string hidden_name(const std::string& folder, const std::string& base) {
    return (folder == "/" ? "" : folder) + "/." + base + ".tmp-";
}

std::string random_suffix() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device device;
    std::string out;
    for (int i = 0; i < 8; ++i) out.push_back(kAlphabet[device() % (sizeof kAlphabet - 1)]);
    return out;
}

// Gives the unnamed file `fd` a fresh name beginning with `prefix`.
std::string link_unnamed(const int fd, const std::string& prefix) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + random_suffix();
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return name;
        if (errno == EEXIST) continue;
#ifdef AT_EMPTY_PATH
        if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return name;
        if (errno == EEXIST) continue;
#endif
        fail("cannot name the output " + name);
    }
    errno = EEXIST;
    fail("cannot name the output " + prefix + "*");
}

}  // namespace

mode_t new_file_mode() {
    // The umask is read from /proc: umask() would change it for every
    // thread in between.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) != 0) continue;
        const unsigned long mask = std::strtoul(line.c_str() + 6, nullptr, 8);
        return static_cast<mode_t>(0666 & ~mask);
    }
    return 0644;
}

bool same_file(const std::string& path, const int fd) {
    struct stat a {}, b {};
    if (::stat(path.c_str(), &a) != 0 || ::fstat(fd, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

OutputFile::OutputFile(const std::string& path, const mode_t mode) : mode_(mode) {
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        direct_ = true;
        owns_fd_ = false;
        return;
    }
    struct stat info {};
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        fail(path);
    }
    if (exists && !S_ISREG(info.st_mode)) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) fail(path);
        direct_ = true;
        return;
    }
    struct stat link {};
    if (!exists && ::lstat(path.c_str(), &link) == 0) {
        // A dangling link: writing through it creates its target.
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) fail(path);
        direct_ = true;
        return;
    }
    target_ = exists ? resolved(path) : path;
    const std::string folder = folder_of(target_);
    fd_ = open_unnamed(folder, mode_);
    if (fd_ >= 0) return;
    temp_ = hidden_name(folder, base_of(target_)) + "XXXXXX";
    fd_ = ::mkstemp(temp_.data());
    if (fd_ < 0) {
        temp_.clear();
        fail("cannot create a file in " + folder);
    }
    if (::fchmod(fd_, mode_) != 0) fail(temp_);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0 && owns_fd_) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::commit() {
    if (direct_) {
        if (owns_fd_ && ::close(fd_) != 0) {
            fd_ = -1;
            fail(target_.empty() ? "output" : target_);
        }
        if (owns_fd_) fd_ = -1;
        return;
    }
    if (temp_.empty()) temp_ = link_unnamed(fd_, hidden_name(folder_of(target_), base_of(target_)));
    if (::close(fd_) != 0) {
        fd_ = -1;
        fail(target_);
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) fail("cannot rename the output to " + target_);
    temp_.clear();
}

ScratchFile::ScratchFile(const std::string& near) {
    const std::string folder = near == "-" ? temporary_folder() : folder_of(resolved(near));
    fd_ = open_unnamed(folder, 0600);
    if (fd_ >= 0) return;
    // Named only for the moment between mkstemp and unlink.
    std::string name = hidden_name(folder, "corvane") + "XXXXXX";
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) fail("cannot create a temporary file in " + folder);
    ::unlink(name.c_str());
}

ScratchFile::~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
}

void ScratchFile::copy_to(const int out) const {
    if (::lseek(fd_, 0, SEEK_SET) < 0) fail("lseek");
    // The kernel copies file to file without a round trip through this process.
    for (;;) {
        const ssize_t n = ::copy_file_range(fd_, nullptr, out, nullptr, std::size_t{1} << 30, 0);
        if (n == 0) return;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EBADF && errno != EOPNOTSUPP)
            fail("copy_file_range");
        break;  // not possible here (a pipe, another file system): copy through a buffer
    }
    std::vector<char> buffer(std::size_t{1} << 22);
    for (;;) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("read");
        }
        if (n == 0) return;
        dimacs::write_all(out, buffer.data(), static_cast<std::size_t>(n));
    }
}

}  // namespace quillet::io

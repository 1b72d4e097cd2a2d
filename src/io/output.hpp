// Output files that a user can trust, whatever the path names.
//
// A regular file, a missing path or a symbolic link to a regular file is
// written through a temporary file in the folder of the file (for a link,
// of its target, so the link stays a link): an unnamed one (O_TMPFILE) where
// the system allows, which nothing can leave behind, not even SIGKILL, and
// otherwise a hidden ".NAME.tmp-XXXXXX" that every error and every unwinding
// removes. commit() gives it the file's name (linkat, then rename over the
// file), so the file is either the old one or the complete new one.
//
// Anything else (standard output "-", a character device such as /dev/null,
// a FIFO, a pipe or socket reached through /dev/fd/N, a link to one of these)
// cannot be replaced and is opened and written directly.
#pragma once

#include <string>

#include <sys/types.h>

namespace quillet::io {

class OutputFile {
public:
    // Opens `path` ("-": standard output) for writing; throws
    // std::system_error naming the path. `mode` is given to a file created
    // from scratch (0666 less the process's umask, as a new file gets).
    OutputFile(const std::string& path, mode_t mode);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int fd() const { return fd_; }
    // Written in place: what is written is seen at once, and commit() only
    // closes.
    bool direct() const { return direct_; }
    // Puts the temporary file in place of the target. Call once, at the end.
    void commit();

private:
    std::string target_;  // the file replaced, a link resolved
    std::string temp_;    // the named temporary, or empty when unnamed or direct
    int fd_ = -1;
    bool direct_ = false;
    bool owns_fd_ = true;
    mode_t mode_;
};

// An unnamed temporary file in the folder of `near` (the system's temporary
// folder for "-"): removed by the system when closed, whatever happens.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& near);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    int fd() const { return fd_; }
    // Appends the whole file, from its start, to `out`.
    void copy_to(int out) const;

private:
    int fd_ = -1;
};

// True when `path` names the file open as `fd` (same device and inode).
bool same_file(const std::string& path, int fd);

// 0666 less the process's umask, read without changing it.
mode_t new_file_mode();

}  // namespace quillet::io

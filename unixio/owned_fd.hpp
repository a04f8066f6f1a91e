// A descriptor with one owner that closes it. The close keeps errno, so that a failure
// can still be reported after the descriptor has been released.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int descriptor) : fd_(descriptor) {}
    owned_fd(owned_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    owned_fd& operator=(owned_fd&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd() { reset(); }

    // The descriptor held, or -1.
    int get() const { return fd_; }

    // Closes the descriptor held, if any, and holds the new one.
    void reset(int descriptor = -1)
    {
        if (fd_ != -1) {
            const int saved_errno = errno;
            ::close(fd_);
            errno = saved_errno;
        }
        fd_ = descriptor;
    }

    // Gives the descriptor up to another owner (a stream opened over it).
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

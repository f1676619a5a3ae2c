// An owned file descriptor, closed on every path out of its scope.
#pragma once

#include <unistd.h>

namespace tavori {

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace tavori

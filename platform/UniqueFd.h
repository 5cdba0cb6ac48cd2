#pragma once

#include <unistd.h>

// The one owner of one file descriptor: closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    // Hands the descriptor to the caller, who closes it.
    int Release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    void Reset(int newFd = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = newFd;
    }

private:
    int fd = -1;
};

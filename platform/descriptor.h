#pragma once

#include <unistd.h>

#include <utility>

// A file descriptor, closed when its owner goes. It moves, so that a caller
// can hand the read end of a list to the copy engine, and a function can
// return one it opened; it never copies, so no descriptor is closed twice. Shared ownership, where a writer thread and its owner both
// hold one end, is a std::shared_ptr of it.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept
        : m_fd(other.release())
    {
    }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    // Hands the descriptor over to a caller that closes it (fdopendir, dup2 in a child).
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

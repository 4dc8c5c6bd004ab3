#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <sys/epoll.h>

namespace platform {

// Descriptors watched together through the kernel's epoll, level-triggered.
// Each is handed to the kernel once, with what to wait for and whom to tell,
// and again only when that changes, so that a wait costs the same for ten
// descriptors as for ten thousand. Linux only: the event loop of the Linux
// build and the simulator's server loop run on it.
class Epoll {
public:
    class Watcher {
    public:
        // fd is ready for events (EPOLLIN, EPOLLOUT, EPOLLPRI, EPOLLERR, EPOLLHUP).
        virtual void OnReady(int fd, std::uint32_t events) = 0;

    protected:
        ~Watcher() = default;
    };

    static constexpr int kReadyMax = 256; // descriptors told per wait; the others at the next

    // What one wait found, in the kernel's order.
    struct Ready {
        std::array<epoll_event, kReadyMax> events;
        int count = 0;
    };

    Epoll() = default; // closed
    ~Epoll();
    Epoll(const Epoll&) = delete;
    Epoll& operator=(const Epoll&) = delete;

    // false, with errno set, when the kernel gives no set.
    bool Open();
    // Forgets every descriptor; what a wait found before is told no more.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The set's own descriptor, readable while one of its descriptors is
    // ready: for watching the set from another event loop.
    int Descriptor() const { return fd_; }

    // Watches fd for events and tells watcher; where fd is watched already,
    // changes what for and whom. false, with errno set, when the kernel refuses.
    bool Watch(int fd, std::uint32_t events, Watcher* watcher);
    // What a watched fd waits for now. With 0 it waits for nothing, but
    // errors and hang-ups are still told.
    void Change(int fd, std::uint32_t events);
    // Stops watching fd, before it is closed: what a wait found for it
    // before is not told, even when the number comes back for another.
    void Forget(int fd);

    // Waits up to timeoutMs (-1: without end, 0: not at all) for watched
    // descriptors to be ready. A signal ends the wait with nothing found.
    Ready Wait(int timeoutMs) const;
    // Tells the watcher of each descriptor found what it is ready for. A
    // watcher may change, forget or watch any descriptor, close the set or
    // wait again meanwhile: a descriptor forgotten since the wait is skipped.
    void Dispatch(const Ready& ready);

private:
    struct Slot {
        Watcher* watcher = nullptr;
        std::uint32_t serial = 0; // tells this watch from an earlier one of the same number
    };

    static std::uint64_t Key(int fd, std::uint32_t serial)
    {
        return std::uint64_t(std::uint32_t(fd)) | (std::uint64_t(serial) << 32);
    }

    Slot* Find(int fd);

    int fd_ = -1;
    std::vector<Slot> slots_; // by descriptor
    std::uint32_t serial_ = 0;
};

} // namespace platform

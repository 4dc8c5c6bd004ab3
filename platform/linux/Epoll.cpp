#include "Epoll.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace platform {

Epoll::~Epoll()
{
    Close();
}

bool Epoll::Open()
{
    Close();
    fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    return fd_ >= 0;
}

void Epoll::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    slots_.clear();
}

Epoll::Slot* Epoll::Find(int fd)
{
    if (fd < 0 || std::size_t(fd) >= slots_.size() || !slots_[std::size_t(fd)].watcher)
        return nullptr;
    return &slots_[std::size_t(fd)];
}

bool Epoll::Watch(int fd, std::uint32_t events, Watcher* watcher)
{
    if (fd_ < 0 || fd < 0) {
        errno = EBADF;
        return false;
    }
    if (std::size_t(fd) >= slots_.size())
        slots_.resize(std::size_t(fd) + 1);
    Slot& slot = slots_[std::size_t(fd)];
    const bool watched = slot.watcher != nullptr;
    const std::uint32_t serial = watched ? slot.serial : ++serial_;
    epoll_event e{};
    e.events = events;
    e.data.u64 = Key(fd, serial);
    int done = ::epoll_ctl(fd_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &e);
    if (done != 0 && errno == EEXIST)
        done = ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &e); // a closed descriptor's number used again
    if (done != 0)
        return false;
    slot.watcher = watcher;
    slot.serial = serial;
    return true;
}

void Epoll::Change(int fd, std::uint32_t events)
{
    const Slot* slot = Find(fd);
    if (!slot)
        return;
    epoll_event e{};
    e.events = events;
    e.data.u64 = Key(fd, slot->serial);
    ::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &e);
}

void Epoll::Forget(int fd)
{
    Slot* slot = Find(fd);
    if (!slot)
        return;
    ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr);
    slot->watcher = nullptr;
}

Epoll::Ready Epoll::Wait(int timeoutMs) const
{
    Ready ready;
    if (fd_ >= 0)
        ready.count = std::max(0, ::epoll_wait(fd_, ready.events.data(), kReadyMax, timeoutMs));
    return ready;
}

void Epoll::Dispatch(const Ready& ready)
{
    for (int i = 0; i < ready.count && fd_ >= 0; ++i) {
        const epoll_event& e = ready.events[std::size_t(i)];
        const int fd = int(std::uint32_t(e.data.u64));
        const Slot* slot = Find(fd);
        if (slot && slot->serial == std::uint32_t(e.data.u64 >> 32))
            slot->watcher->OnReady(fd, e.events);
    }
}

} // namespace platform

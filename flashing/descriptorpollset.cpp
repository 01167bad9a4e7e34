#include "flashing/descriptorpollset.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace {

constexpr std::uint32_t WantedBit = 0x80000000u;
// poll() always reports these, asked for or not.
constexpr std::uint32_t AlwaysReported = POLLERR | POLLHUP | POLLNVAL;

} // namespace

DescriptorPollSet::DescriptorPollSet()
    : m_epollFd(epoll_create1(EPOLL_CLOEXEC))
{}

DescriptorPollSet::~DescriptorPollSet()
{
    if (m_epollFd >= 0)
        close(m_epollFd);
}

void DescriptorPollSet::track(QSocketNotifier *notifier)
{
    if (!notifier || m_epollFd < 0)
        return;
    for (const Tracked &t : m_tracked) {
        if (t.notifier == notifier)
            return;
    }
    m_tracked.push_back({notifier, m_nextSerial++});
    if (m_nextSerial == 0)
        m_nextSerial = 1;
    // Told rather than asked on every wake-up: a guarded pointer would cost
    // a look into another allocation per notifier per call.
    QObject::connect(notifier, &QObject::destroyed, &m_guard, [this](QObject *gone) {
        for (Tracked &t : m_tracked) {
            if (t.notifier == gone)
                t.notifier = nullptr;
        }
    });
}

void DescriptorPollSet::growTo(int fd)
{
    const auto size = static_cast<std::size_t>(fd) + 1;
    if (m_slots.size() >= size)
        return;
    m_slots.resize(std::max(size, m_slots.size() * 2));
}

// Which descriptors enabled tracked notifiers own right now. A notifier that
// was disabled or destroyed gives its descriptor up at once: the descriptor
// may already be closed and its number reused by something else.
void DescriptorPollSet::collectOwners()
{
    for (int fd : m_ownedList)
        slotOf(fd).owner = 0;
    m_ownedList.clear();

    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_tracked.size(); ++i) {
        const Tracked t = m_tracked[i];
        if (!t.notifier)
            continue;
        m_tracked[kept++] = t;
        if (!t.notifier->isEnabled())
            continue;
        // Asked each time: a notifier may be given another descriptor.
        const auto fd = static_cast<int>(t.notifier->socket());
        if (fd < 0)
            continue;
        growTo(fd);
        // Two enabled notifiers on one descriptor: the first one owns it.
        Slot &slot = slotOf(fd);
        if (slot.owner == 0) {
            slot.owner = t.serial;
            m_ownedList.push_back(fd);
        }
    }
    m_tracked.resize(kept);
}

// Makes the epoll set hold exactly the owned descriptors that this call's
// array asks about, each with the union of the events asked for. A
// descriptor whose owner changed is registered anew even if its number did
// not: the old registration belonged to a file that may be gone.
void DescriptorPollSet::syncEpollSet(const struct pollfd *fds, nfds_t nfds)
{
    m_wantedList.clear();
    for (nfds_t i = 0; i < nfds; ++i) {
        const int fd = fds[i].fd;
        if (fd < 0 || static_cast<std::size_t>(fd) >= m_slots.size() || slotOf(fd).owner == 0)
            continue;
        std::uint32_t &wanted = slotOf(fd).wanted;
        if (!(wanted & WantedBit))
            m_wantedList.push_back(fd);
        wanted |= WantedBit | static_cast<std::uint16_t>(fds[i].events);
    }

    // Removals first: a descriptor number may move to a new owner in this call.
    std::size_t kept = 0;
    for (int fd : m_registeredList) {
        Slot &slot = slotOf(fd);
        if ((slot.wanted & WantedBit) && slot.owner == slot.registered) {
            m_registeredList[kept++] = fd;
            continue;
        }
        // Fails harmlessly when the descriptor is already closed.
        epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
        slot.registered = 0;
        slot.registeredEvents = 0;
    }
    m_registeredList.resize(kept);

    for (int fd : m_wantedList) {
        Slot &slot = slotOf(fd);
        const std::uint32_t events = slot.wanted & ~WantedBit;
        struct epoll_event ev = {};
        ev.events = events;
        ev.data.u64 = (static_cast<std::uint64_t>(slot.owner) << 32) | static_cast<std::uint32_t>(fd);
        if (slot.registered != 0) {
            if (slot.registeredEvents == events)
                continue;
            if (epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &ev) == 0) {
                slot.registeredEvents = events;
                continue;
            }
            // Its file went away under the registration: start over.
            epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
            slot.registered = 0;
            slot.registeredEvents = 0;
            for (std::size_t i = 0; i < m_registeredList.size(); ++i) {
                if (m_registeredList[i] == fd) {
                    m_registeredList.erase(m_registeredList.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
            }
        }
        // Refused (a closed descriptor, a file without polling support):
        // poll() answers for it below.
        if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) == 0) {
            slot.registered = slot.owner;
            slot.registeredEvents = events;
            m_registeredList.push_back(fd);
        }
    }
}

int DescriptorPollSet::poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    collectOwners();
    syncEpollSet(fds, nfds);
    const auto isServed = [this](int fd) {
        return fd >= 0 && static_cast<std::size_t>(fd) < m_slots.size() && slotOf(fd).registered != 0;
    };

    int result = 0;
    if (m_registeredList.empty()) {
        result = ::poll(fds, nfds, timeout);
    } else {
        m_forward.clear();
        m_forwardIndex.clear();
        for (nfds_t i = 0; i < nfds; ++i) {
            if (isServed(fds[i].fd))
                continue;
            m_forward.push_back(fds[i]);
            m_forwardIndex.push_back(i);
        }
        m_forward.push_back({m_epollFd, POLLIN, 0});

        const int forwarded = ::poll(m_forward.data(), m_forward.size(), timeout);
        if (forwarded < 0) {
            result = forwarded;
        } else {
            const int saved = errno;
            for (std::size_t j = 0; j + 1 < m_forward.size(); ++j) {
                fds[m_forwardIndex[j]].revents = m_forward[j].revents;
                if (m_forward[j].revents)
                    ++result;
            }
            int readyCount = 0;
            if (m_forward.back().revents & POLLIN) {
                m_events.resize(m_registeredList.size());
                readyCount = epoll_wait(m_epollFd, m_events.data(), static_cast<int>(m_events.size()), 0);
                for (int k = 0; k < readyCount; ++k) {
                    const auto fd = static_cast<std::size_t>(m_events[k].data.u64 & 0xffffffffu);
                    const auto serial = static_cast<std::uint32_t>(m_events[k].data.u64 >> 32);
                    // A registration left behind by a file that a forked child
                    // still held open is not this descriptor's.
                    if (fd < m_slots.size() && m_slots[fd].registered == serial)
                        m_slots[fd].ready = m_events[k].events;
                }
            }
            for (nfds_t i = 0; i < nfds; ++i) {
                if (!isServed(fds[i].fd))
                    continue;
                const std::uint32_t ready = slotOf(fds[i].fd).ready;
                fds[i].revents =
                    static_cast<short>(ready & (static_cast<std::uint16_t>(fds[i].events) | AlwaysReported));
                if (fds[i].revents)
                    ++result;
            }
            for (int k = 0; k < readyCount; ++k) {
                const auto fd = static_cast<std::size_t>(m_events[k].data.u64 & 0xffffffffu);
                if (fd < m_slots.size())
                    m_slots[fd].ready = 0;
            }
            errno = saved;
        }
    }

    for (int fd : m_wantedList)
        slotOf(fd).wanted = 0;
    return result;
}

#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <cstdint>
#include <vector>

#include <poll.h>
#include <sys/epoll.h>

// A drop-in for poll(2) that serves the descriptors of tracked socket
// notifiers from one epoll set.
//
// The event loop hands poll() every watched descriptor on each wake-up, and
// the kernel walks all of them each time: with a hundred flashing tools that
// walk costs more than the work the wake-up is for. The descriptors of the
// tools' pipes and end notifiers are long-lived, so they are registered once
// in an epoll set; poll() itself only sees the few other descriptors and the
// epoll descriptor, and an epoll descriptor reports only what is ready.
//
// Results are those of poll(2) on the same array. A descriptor is served from
// the epoll set only while a tracked, enabled notifier owns it; every other
// entry, and any descriptor the epoll set refuses, goes to poll() unchanged.
// Not thread-safe: one thread calls track() and poll().
//
// In the application the main thread's event loop calls poll() (see
// flashing/jobdescriptors.h), which relies on two toolkit internals: the
// GLib event dispatcher of the main thread, whose poll function is replaced,
// and the private QSocketNotifier children of QProcess, which are tracked.
class DescriptorPollSet
{
public:
    DescriptorPollSet();
    ~DescriptorPollSet();
    DescriptorPollSet(const DescriptorPollSet &) = delete;
    DescriptorPollSet &operator=(const DescriptorPollSet &) = delete;

    // Whether the epoll set could be created; without it every call is a
    // plain poll().
    bool isValid() const { return m_epollFd >= 0; }

    // Serves the notifier's descriptor from the epoll set while the notifier
    // exists and is enabled.
    void track(QSocketNotifier *notifier);

    // poll(2) over fds.
    int poll(struct pollfd *fds, nfds_t nfds, int timeout);

    // Descriptors that the last poll() served from the epoll set.
    int servedByEpoll() const { return static_cast<int>(m_registeredList.size()); }

    // Notifiers still tracked (dead ones are dropped on the next poll()).
    int trackedCount() const { return static_cast<int>(m_tracked.size()); }

private:
    struct Tracked
    {
        QSocketNotifier *notifier; // null once destroyed
        std::uint32_t serial;
    };

    // What is known of one descriptor number. Serials: 0 means none.
    struct Slot
    {
        std::uint32_t owner = 0;      // serial of the enabled notifier owning it
        std::uint32_t registered = 0; // serial it is registered in the epoll set with
        std::uint32_t registeredEvents = 0;
        std::uint32_t wanted = 0; // events this call asks for, bit 31 set when wanted
        std::uint32_t ready = 0;  // events epoll reported this call
    };

    void collectOwners();
    void syncEpollSet(const struct pollfd *fds, nfds_t nfds);
    void growTo(int fd);
    Slot &slotOf(int fd) { return m_slots[static_cast<std::size_t>(fd)]; }

    int m_epollFd = -1;
    std::uint32_t m_nextSerial = 1;
    std::vector<Tracked> m_tracked;
    // Receives the tracked notifiers' destroyed signals; going first, it
    // takes those connections with it.
    QObject m_guard;

    // Indexed by descriptor number.
    std::vector<Slot> m_slots;

    std::vector<int> m_ownedList;
    std::vector<int> m_registeredList;
    std::vector<int> m_wantedList;

    std::vector<struct pollfd> m_forward;
    std::vector<nfds_t> m_forwardIndex;
    std::vector<struct epoll_event> m_events;
};

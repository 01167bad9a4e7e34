#pragma once

class QObject;

// Lets the event loop watch the descriptors of a flashing tool's process
// (its output pipe, its end notifier) through one epoll set shared by all
// jobs, so that a wake-up for one job does not make the kernel walk every
// job's descriptors. Where the main thread's event loop is not built on GLib,
// or off Linux, it does nothing and the loop polls as usual.
//
// It relies on two toolkit internals that no public interface offers:
// - the event dispatcher of the main thread is the toolkit's GLib one
//   (QEventDispatcherGlib), which polls through the default GLib main
//   context: the watch replaces that context's poll function;
// - a QProcess keeps its pipes and its end notifier as QSocketNotifier
//   children of its own: those are the notifiers handed to the epoll set.
// Should either change, the watch stays out of use (no GLib dispatcher) or
// finds no notifiers, and the loop polls as usual.

// Installs the shared epoll set on the main thread's event loop for its own
// lifetime, and restores the loop's own polling when it is destroyed. Make
// it on the main thread, once the application exists and before the first
// job starts; destroy it before the application. Several may exist at once:
// the first one installs, the last one to go removes.
class JobDescriptorWatch
{
public:
    JobDescriptorWatch();
    ~JobDescriptorWatch();
    JobDescriptorWatch(const JobDescriptorWatch &) = delete;
    JobDescriptorWatch &operator=(const JobDescriptorWatch &) = delete;

    // Whether the epoll set is in use now.
    static bool isInstalled();
};

// Call it right after a job's process has started: the notifiers it has then
// are the ones watched this way. Returns whether they were handed over.
bool watchJobDescriptors(QObject *process);

// Descriptors that the event loop's last wake-up served from the epoll set.
int jobDescriptorsServedByEpoll();

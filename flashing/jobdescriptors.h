#pragma once

class QObject;

// Lets the event loop watch the descriptors of a flashing tool's process
// (its output pipe, its end notifier) through one epoll set shared by all
// jobs, so that a wake-up for one job does not make the kernel walk every
// job's descriptors. Where the main thread's event loop is not built on GLib,
// or off Linux, it does nothing and the loop polls as usual.
//
// Sets the shared epoll set up on the main thread's event loop; call it once
// the application exists, before the first job (the set holds a descriptor
// of its own for the application's lifetime). Returns whether it is in use.
bool installJobDescriptorWatch();

// Call it right after a job's process has started: the notifiers it has then
// are the ones watched this way. Returns whether they were handed over.
bool watchJobDescriptors(QObject *process);

// Descriptors that the event loop's last wake-up served from the epoll set.
int jobDescriptorsServedByEpoll();

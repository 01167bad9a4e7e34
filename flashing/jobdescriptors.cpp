#include "flashing/jobdescriptors.h"

#include <QtGlobal>

#if defined(Q_OS_LINUX) && defined(VELMORA_HAVE_GLIB)

#include "flashing/descriptorpollset.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <glib.h>

#include <cstddef>

namespace {

static_assert(sizeof(GPollFD) == sizeof(struct pollfd), "GPollFD is laid out as struct pollfd");
static_assert(offsetof(GPollFD, fd) == offsetof(struct pollfd, fd), "GPollFD is laid out as struct pollfd");
static_assert(offsetof(GPollFD, events) == offsetof(struct pollfd, events), "GPollFD is laid out as struct pollfd");
static_assert(offsetof(GPollFD, revents) == offsetof(struct pollfd, revents), "GPollFD is laid out as struct pollfd");

DescriptorPollSet *pollSet = nullptr;
GPollFunc previousPoll = nullptr;
GThread *mainThread = nullptr;

gint pollJobsThroughEpoll(GPollFD *fds, guint nfds, gint timeout)
{
    // The default context is the main thread's; anyone else iterating it
    // gets the ordinary poll.
    if (g_thread_self() != mainThread)
        return previousPoll(fds, nfds, timeout);
    return pollSet->poll(reinterpret_cast<struct pollfd *>(fds), nfds, timeout);
}

bool installed = false;

} // namespace

bool installJobDescriptorWatch()
{
    static const bool done = [] {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app || QThread::currentThread() != app->thread())
            return false;
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(app->thread());
        if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib"))
            return false;
        pollSet = new DescriptorPollSet;
        if (!pollSet->isValid()) {
            delete pollSet;
            pollSet = nullptr;
            return false;
        }
        GMainContext *context = g_main_context_default();
        previousPoll = g_main_context_get_poll_func(context);
        mainThread = g_thread_self();
        g_main_context_set_poll_func(context, pollJobsThroughEpoll);
        return true;
    }();
    installed = done;
    return installed;
}

bool watchJobDescriptors(QObject *process)
{
    if (!process || !installed || QThread::currentThread() != process->thread())
        return false;
    const auto notifiers = process->findChildren<QSocketNotifier *>(QString(), Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers)
        pollSet->track(notifier);
    return !notifiers.isEmpty();
}

int jobDescriptorsServedByEpoll()
{
    return pollSet ? pollSet->servedByEpoll() : 0;
}

#else

int jobDescriptorsServedByEpoll()
{
    return 0;
}

bool installJobDescriptorWatch()
{
    return false;
}

bool watchJobDescriptors(QObject *)
{
    return false;
}

#endif

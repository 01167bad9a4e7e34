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
#include <memory>

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

int watchCount = 0;

void install()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(app->thread());
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib"))
        return;
    auto set = std::make_unique<DescriptorPollSet>();
    if (!set->isValid())
        return;
    pollSet = set.release();
    GMainContext *context = g_main_context_default();
    previousPoll = g_main_context_get_poll_func(context);
    mainThread = g_thread_self();
    g_main_context_set_poll_func(context, pollJobsThroughEpoll);
}

void uninstall()
{
    GMainContext *context = g_main_context_default();
    // A poll function put in since may hand its calls on to this one: then
    // the set stays.
    if (g_main_context_get_poll_func(context) != pollJobsThroughEpoll)
        return;
    g_main_context_set_poll_func(context, previousPoll);
    delete pollSet;
    pollSet = nullptr;
}

} // namespace

JobDescriptorWatch::JobDescriptorWatch()
{
    ++watchCount;
    if (!pollSet)
        install();
}

JobDescriptorWatch::~JobDescriptorWatch()
{
    if (--watchCount == 0 && pollSet)
        uninstall();
}

bool JobDescriptorWatch::isInstalled()
{
    return pollSet != nullptr;
}

bool watchJobDescriptors(QObject *process)
{
    if (!process || !pollSet || QThread::currentThread() != process->thread())
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

JobDescriptorWatch::JobDescriptorWatch() = default;

JobDescriptorWatch::~JobDescriptorWatch() = default;

bool JobDescriptorWatch::isInstalled()
{
    return false;
}

bool watchJobDescriptors(QObject *)
{
    return false;
}

int jobDescriptorsServedByEpoll()
{
    return 0;
}

#endif

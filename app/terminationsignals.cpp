#include "app/terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int TerminationSignalNumbers[] = {SIGTERM, SIGHUP, SIGINT};

// Written by the handler, read on the GUI thread.
int signalSockets[2] = {-1, -1};
volatile std::sig_atomic_t signalArrived = 0;

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    signalArrived = 1;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // Non-blocking: a full socket loses a repeated signal, never the process.
    const ssize_t written = ::write(signalSockets[1], &number, 1);
    static_cast<void>(written);
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (signalSockets[0] >= 0)
        return; // one instance per process
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) {
        std::perror("velmora: no socket pair for the termination signals");
        return;
    }
    // Neither end may block, nor be inherited by the tools.
    for (int fd : signalSockets) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    m_notifier = new QSocketNotifier(signalSockets[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignals);
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : TerminationSignalNumbers)
        ::sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (int number : TerminationSignalNumbers)
        ::signal(number, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void TerminationSignals::readSignals()
{
    unsigned char numbers[16];
    ssize_t count = 0;
    while ((count = ::read(signalSockets[0], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit received(numbers[i]);
    }
}

bool TerminationSignals::arrived()
{
    return signalArrived != 0;
}

#else

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readSignals()
{}

bool TerminationSignals::arrived()
{
    return false;
}

#endif

void TerminationSignals::closeOnSignal(QWidget *window)
{
    connect(this, &TerminationSignals::received, window, [window](int signalNumber) {
        std::fprintf(stderr, "velmora: signal %d, closing\n", signalNumber);
        std::fflush(stderr);
        window->close();
        // A modal box or dialog runs an event loop of its own: leave it too.
        QCoreApplication::exit(0);
    });
}

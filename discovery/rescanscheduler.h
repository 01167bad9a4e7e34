#pragma once

#include <QObject>

#include <functional>

// Folds device changes into rescans. A burst of changes (a rack powered on at
// once) costs one rescan, run once the events at hand have been handled;
// changes that come while it runs (in an event loop run inside it) are folded
// into one more, run after the window has had its turn.
class RescanScheduler : public QObject
{
public:
    // rescan runs one rescan. drain delivers at once the changes that are
    // already waiting, so that they join the rescan about to run instead of
    // asking for one more; it may be empty.
    RescanScheduler(std::function<void()> rescan, std::function<void()> drain, QObject *parent = nullptr);

    // A change that wants a rescan.
    void request();

    bool isRunning() const { return m_running; }

private:
    void queue();
    void runPending();

    std::function<void()> m_rescan;
    std::function<void()> m_drain;
    // A change still wants a rescan; a run is queued; a rescan is under way.
    bool m_pending = false;
    bool m_queued = false;
    bool m_running = false;
};

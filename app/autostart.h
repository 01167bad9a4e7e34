#pragma once

#include "discovery/autostartplan.h"

#include <QObject>

class Widget;

// Factory mode: every board that appears in the window's table (after a
// device change or "List") and has no job is started in its row's mode as
// soon as an image is set. Run, Stop, StartAll and StopAll keep their meaning.
class AutoStart : public QObject
{
public:
    // Attaches to the window, which must outlive it, and says in its title
    // that auto-start is on.
    explicit AutoStart(Widget *window);

    // Looks for boards to start once the window's turn is over (after its
    // rebuild and counts): after a listing, a change of the image, and when
    // a start check that refused may now allow (an image verified).
    void schedulePass();

private:
    void runPass();

    Widget *m_window;
    AutoStartPlan m_plan;
    bool m_passQueued = false;
};

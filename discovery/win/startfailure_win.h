#pragma once

#include <QString>

// Whether a failed start of a program, as the toolkit reports it, was refused
// for lack of a resource that the station may have again a moment later:
// memory, commit, system resources or quota, or, under Wine, room for one
// more host process (which Wine reports as an internal error). No process
// was made in any of these cases, so a new start cannot run the tool twice.
bool isTransientStartFailure(const QString &errorString);

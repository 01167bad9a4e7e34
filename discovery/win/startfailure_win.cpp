#include "discovery/win/startfailure_win.h"

#include <windows.h>

bool isTransientStartFailure(const QString &errorString)
{
    static const DWORD transient[] = {
        ERROR_NOT_ENOUGH_MEMORY,      ERROR_OUTOFMEMORY,
        ERROR_NO_SYSTEM_RESOURCES,    ERROR_NONPAGED_SYSTEM_RESOURCES,
        ERROR_PAGED_SYSTEM_RESOURCES, ERROR_WORKING_SET_QUOTA,
        ERROR_PAGEFILE_QUOTA,         ERROR_COMMITMENT_LIMIT,
        ERROR_NOT_ENOUGH_QUOTA,       ERROR_INTERNAL_ERROR,
    };
    // The toolkit ends its text with the system's message for the error.
    for (DWORD code : transient) {
        if (errorString.endsWith(qt_error_string(int(code))))
            return true;
    }
    return false;
}

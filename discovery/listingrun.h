#pragma once

#include "discovery/listingparser.h"

#include <QString>
#include <QVector>

// One run of the tool's listing, and whether it says anything about the
// boards.
struct ListingRun
{
    enum Outcome {
        Listed, // ended by itself in time, with code 0, and printed the header line
        NoTool, // there is no tool in the working directory
        Failed, // says nothing about the boards
    };

    Outcome outcome = Failed;
    QVector<ListedDevice> devices; // the boards of a Listed run
    QString failure;               // why a Failed run says nothing
};

// Most bytes a listing may print. A real one is a few KiB; more is a tool
// gone wrong, and reading on would only fill the window's memory.
constexpr int MaxListingBytes = 1024 * 1024;

// Runs the tool's listing and waits for it at most listingTimeoutMs(). A
// listing longer than MaxListingBytes, or cut short by the cancel check, is
// a failed one; its tool is killed at once.
ListingRun runToolListing();

// Longest wait for a listing run, in milliseconds.
int listingTimeoutMs();

// Asked several times a second while a listing runs; when it returns true,
// the listing is given up at once. Set by the program's entry point, so that
// a termination signal does not wait for a listing that hangs.
using ListingCancelCheck = bool (*)();
void setListingCancelCheck(ListingCancelCheck check);

// Test hook: makes the wait shorter, so that a hanging listing can be tried
// without waiting the tool's full limit. 0 or less restores that limit.
void setListingTimeoutForTesting(int ms);

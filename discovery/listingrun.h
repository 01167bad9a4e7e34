#pragma once

#include "listingparser.h"

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

// Runs the tool's listing and waits for it at most listingTimeoutMs().
ListingRun runToolListing();

// Longest wait for a listing run, in milliseconds.
int listingTimeoutMs();

// Test hook: makes the wait shorter, so that a hanging listing can be tried
// without waiting the tool's full limit. 0 or less restores that limit.
void setListingTimeoutForTesting(int ms);

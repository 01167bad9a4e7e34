#pragma once

// Ties the lifetime of every process Velmora starts to Velmora's own: puts
// this process into a job object that kills all its members when its last
// handle closes. Children inherit the job, so when Velmora ends in any way
// (closed, crashed, killed from the task manager) no flashing tool stays
// behind. The handle is kept open on purpose until the process ends.
//
// Returns false when the job cannot be set up, for instance where this
// process is already in a job that allows no nested one (before Windows 8);
// the tools are then only stopped by Velmora's own orderly shutdown.
bool velmoraBindChildrenToThisProcess();

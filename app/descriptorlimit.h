#pragma once

// Raises the soft limit on open descriptors to the hard limit, where the
// system has such limits: every flashing board holds a few descriptors, and
// the common desktop default of 1024 is too few for a full rack. Returns the
// soft limit now in force, or -1 where there is none to read.
long raiseDescriptorLimit();

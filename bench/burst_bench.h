#pragma once

// velmora_bench --burst: the longest freeze of the GUI thread while a burst
// of device events is handled. Prints its figures as Markdown; returns the
// process exit code.
int runBurstBench(int argc, char **argv);

class QDir;

// Puts the script templates and the simulator (as ./uuu) into a station
// folder; false when any of them could not be put there.
bool installStationFiles(const QDir &d);

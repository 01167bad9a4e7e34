#pragma once

// velmora_bench --table: the longest freeze of the GUI thread while the
// device table is rebuilt for 1,000 to 4,000 listed boards. Prints its
// figures as Markdown; returns the process exit code.
int runTableBench(int argc, char **argv);

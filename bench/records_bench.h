#pragma once

// velmora_bench --records: what the station's records (journal and kept
// logs), the image hash and the metrics file cost the window while boards
// flash, each measured against a run without it. Prints its figures as
// Markdown; returns the process exit code.
int runRecordsBench(int argc, char **argv);

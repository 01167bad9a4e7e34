#pragma once

#include <QProcess>

// One Windows job object per flashing tool, holding the tool and every process
// it starts. The tool may be a launcher whose child does the flashing:
// TerminateProcess on the tool alone would leave that child flashing on, so a
// stop ends the whole job. Closing the job (the destructor) ends whatever is
// still in it.
//
// The tool is created suspended and put into its job before it runs, so
// nothing it starts can escape the job. The job nests inside Velmora's own
// (bindThisProcess()); where Windows allows no nested job (before Windows 8)
// the tool stays outside and only the tool itself is stopped.
class ToolJob
{
public:
    ToolJob() = default;
    ~ToolJob();
    ToolJob(const ToolJob &) = delete;
    ToolJob &operator=(const ToolJob &) = delete;

    // Puts this process into a job that kills all its members when its last
    // handle closes. Processes started afterwards inherit it, so when
    // Velmora ends in any way (closed, crashed, killed from the task manager)
    // none of them stays behind. The handle stays open until the process
    // ends. Returns false when the job cannot be set up, for instance where
    // this process is already in a job that allows no nested one (before
    // Windows 8); then only Velmora's orderly shutdown stops the tools.
    static bool bindThisProcess();

    // The process creation flags for a tool that adopt() takes over.
    static unsigned long creationFlags(unsigned long flags);

    // Puts the process, just started suspended, into a new job and lets it
    // run. Returns false when it could not be resumed; it is then still
    // suspended.
    bool adopt(const QProcess &process);

    // Ends every process of the job with this exit code. Returns false when
    // there is no job (the tool is then outside any job of its own).
    bool terminate(unsigned exitCode);

private:
    void close();

    void *m_job = nullptr;
};

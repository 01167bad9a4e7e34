#pragma once

// Starting a tool with its standard output on a pipe, the plainest POSIX way
// (what the bare reader does for every board, and the harness for a listing
// timed on its own). Plain C++ and POSIX, no Qt.

#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace spawn {

// Starts args[0] with standard input and standard error on the null device
// and standard output on a pipe, whose read end goes to *out. The pid, or -1
// when the program could not be started.
inline pid_t withOutputPipe(std::vector<std::string> args, int *out)
{
    int pipeFds[2];
    *out = -1;
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return -1;
    }
    *out = pipeFds[0];
    return pid;
}

} // namespace spawn

#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// One external program run as a child in its own process group, with no
// standard input and its standard output and error appended to a log file.
// Not copyable; the destructor stops it. Start it from a thread that outlives
// it: the child gets SIGTERM when the starting thread ends, so an interrupted
// benchmark leaves no peer behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is looked up on PATH. False (with the reason on stderr) when
    // the log cannot be opened or the program cannot be started.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath);

    pid_t Pid() const { return pid; }

    // True while the child has not exited.
    bool IsRunning();

    // SIGTERM (and SIGKILL if it has not gone after graceMs), then reaps it.
    // Safe to call twice.
    void Stop(int graceMs = 10000);

private:
    pid_t pid = -1;
    bool exited = false;
};

#include "DesktopLauncher.h"

#include <spawn.h>
#include <sys/wait.h>

#include <system_error>
#include <thread>

extern char** environ;

bool OpenWithDesktop(const std::string& target)
{
    std::string program = "xdg-open";
    std::string argument = target;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0)
        return false;
    try {
        // Reaps the child so that it leaves no zombie.
        std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    } catch (const std::system_error&) {
        // Without a reaper the child stays a zombie until the program ends;
        // the opener runs all the same.
    }
    return true;
}

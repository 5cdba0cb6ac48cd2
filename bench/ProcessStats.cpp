#include "ProcessStats.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

std::string ProcFile(pid_t pid, const char* name)
{
    return "/proc/" + std::to_string(pid) + "/" + name;
}

long StatusFieldKiB(pid_t pid, const std::string& field)
{
    std::ifstream status(ProcFile(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() &&
            line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace

double ProcessCpuSeconds(pid_t pid)
{
    std::ifstream statFile(ProcFile(pid, "stat"));
    std::string stat;
    if (!std::getline(statFile, stat)) {
        return -1.0;
    }
    // The command name in parentheses may hold spaces and parentheses of its
    // own; the fields after the last ')' start with the state (field 3).
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1.0;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string skipped;
    for (int field = 3; field <= 13; ++field) {
        fields >> skipped;
    }
    unsigned long long userTicks = 0;
    unsigned long long systemTicks = 0;
    if (!(fields >> userTicks >> systemTicks)) {
        return -1.0;
    }
    return static_cast<double>(userTicks + systemTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKiB(pid_t pid)
{
    return StatusFieldKiB(pid, "VmRSS");
}

long PeakResidentKiB(pid_t pid)
{
    return StatusFieldKiB(pid, "VmHWM");
}

bool ResetPeakRss(pid_t pid)
{
    std::FILE* clearRefs = std::fopen(ProcFile(pid, "clear_refs").c_str(), "w");
    if (clearRefs == nullptr) {
        return false;
    }
    const bool written = std::fputs("5", clearRefs) >= 0;
    return std::fclose(clearRefs) == 0 && written;
}

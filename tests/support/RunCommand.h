#pragma once

#include <string>
#include <vector>

// Runs argv[0] (looked up on PATH) with the given arguments and waits for it;
// its standard output is discarded, its standard error is passed through.
// Returns its exit status, or -1 when it could not be run or died of a
// signal.
int RunCommand(const std::vector<std::string>& argv);

// dirctl: the operator's client of dirserver. Each command is one function of the arguments that
// prints its result, so that main stays a line and the tests run commands in the process.
#pragma once

#include <string>
#include <vector>

#include "common/console.h"

namespace dirserver::dirctl {

// Runs one command line, `args` being the arguments after the program name (see usageText);
// "--version" alone prints the version.
// Results go to console.out, usage asked for with --help too; a failure prints exactly one line,
// "dirctl: ...", on console.err. Returns the exit status: 0 done, 1 failed (the server could not
// be reached, timed out, answered wrongly, or the file is damaged), 2 bad arguments (the line is
// followed by nothing else).
int runDirctl(const std::vector<std::string>& args, const Console& console);

}  // namespace dirserver::dirctl

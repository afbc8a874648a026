// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <iosfwd>

namespace kvitor {

// kvitor-cli: 0 success; 1 the job failed, a save failed or a file was
// refused; 2 bad arguments, an output that is an input or another output, or
// a range that the controller refuses; 3 stopped by Ctrl+C or SIGTERM: the job
// (what it had read was saved) or the save (the old file stays).
int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kvitor

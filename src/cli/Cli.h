// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <iosfwd>

namespace kvitor {

// kvitor-cli: 0 success; 1 the job failed, a save failed or a file was
// refused; 2 bad arguments or a range that the controller refuses; 3 the job
// was stopped (Ctrl+C, SIGTERM) and what it had read was saved.
int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kvitor

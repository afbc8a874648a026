#pragma once

#include <iosfwd>

namespace kvitor {

// kvitor-cli: 0 success; 1 the job failed, a save failed or a file was
// refused; 2 bad arguments or a range that the controller refuses.
int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kvitor

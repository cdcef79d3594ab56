// chairctl: drives a running chair-service from the command line or a script.
#pragma once

namespace chairctl {

// The whole program: parses the arguments, finds or starts the service, runs one
// command. Returns the exit status (0 done, 1 the service said no, 2 usage, 3 no service).
int run(int argc, char** argv);

}  // namespace chairctl

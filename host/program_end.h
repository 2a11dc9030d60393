#pragma once

namespace host {

// Thrown by a binding that cannot leave the process (the headless one in tests) to unwind out
// of every handler and loop when the program ends. Deliberately not a std::exception, so that
// no error handler mistakes it for a failure.
struct ProgramEnd {
    int status;
};

}  // namespace host

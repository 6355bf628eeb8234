// The stand-in's side of the link: sends its calls to the agent one after the
// other without waiting (up to a `then` or `wait`), each with the proof that
// this process sends it (ProvenCall.h), and prints one line per reply on
// standard output in the order the replies arrive:
//   Version()  the version, e.g. 1
//   Hold()     the rules held afterwards as the agent sent them, or null
//              when the agent answered "nothing"
//   Held()     the rules held, or null when the agent sent empty data
//   an error   {"error":"<D-Bus error name>"}, and the message on stderr
// Main thread, with a QCoreApplication.
#pragma once

#include <string>

#include "tools/standin/StandinOptions.h"

namespace vorsel::standin {

// Makes the calls on `busName` and runs the event loop until every reply
// (or error) is in. Returns 0 when all calls were answered, 1 otherwise.
int talk(const Options& options, const std::string& busName);

}  // namespace vorsel::standin

#pragma once

#include <functional>
#include <memory>

namespace platform {

// Tells the program, from its event loop, that it has been asked to stop:
// SIGINT (Ctrl-C) or SIGTERM. The handler runs as any other event handler
// does, so it may do whatever an event handler may (a signal handler may do
// almost nothing).
//
// The signals' handlers belong to the whole process: one watch at a time.
// Destroying the watch gives both signals back the handlers they had before.
class ISignalWatch {
public:
    virtual ~ISignalWatch() = default;
    // Starts watching. `stop` is called for each request that reaches the
    // event loop; requests that come close together may arrive as one.
    // False when the system refuses the handlers.
    virtual bool Start(std::function<void()> stop) = 0;
};

// The watch this build has: on Linux the signal wakes the event loop through
// a socket pair at once; the portable build looks at a flag the handler sets
// every 50 ms. Needs a Qt application object; call Start() before the event
// loop runs.
std::unique_ptr<ISignalWatch> MakeSignalWatch();

// The same for a request to read the configuration again: SIGHUP, in the
// same two ways. Where the system has no such signal, the watch starts and
// never calls. One reload watch at a time, beside the stop watch.
std::unique_ptr<ISignalWatch> MakeReloadWatch();

// The same for a request to report how things stand: SIGQUIT, where
// the system has it. One at a time, beside the others.
std::unique_ptr<ISignalWatch> MakeReportWatch();

} // namespace platform

#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

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

// What a watch is asked for, and by which signals where the system has them:
// to stop (SIGINT, SIGTERM), to read the configuration again (SIGHUP), to
// report how things stand (SIGQUIT).
enum class SignalKind { Stop, Reload, Report };

inline std::vector<int> SignalsOf(SignalKind kind)
{
    switch (kind) {
    case SignalKind::Stop:
        return {SIGINT, SIGTERM};
    case SignalKind::Reload:
#ifdef SIGHUP
        return {SIGHUP};
#else
        return {};
#endif
    case SignalKind::Report:
#ifdef SIGQUIT
        return {SIGQUIT};
#else
        return {};
#endif
    }
    return {};
}

// The kind a signal asks for; safe to call in a signal handler.
inline SignalKind KindOf(int signal)
{
#ifdef SIGHUP
    if (signal == SIGHUP)
        return SignalKind::Reload;
#endif
#ifdef SIGQUIT
    if (signal == SIGQUIT)
        return SignalKind::Report;
#endif
    return SignalKind::Stop;
}

// The watch this build has for kind: on Linux the signal wakes the event
// loop through a socket pair at once; the portable build looks at a flag the
// handler sets every 50 ms. Needs a Qt application object; call Start()
// before the event loop runs. One watch of each kind at a time; a kind the
// system has no signal for starts and never calls.
std::unique_ptr<ISignalWatch> MakeWatch(SignalKind kind);

inline std::unique_ptr<ISignalWatch> MakeSignalWatch()
{
    return MakeWatch(SignalKind::Stop);
}

inline std::unique_ptr<ISignalWatch> MakeReloadWatch()
{
    return MakeWatch(SignalKind::Reload);
}

inline std::unique_ptr<ISignalWatch> MakeReportWatch()
{
    return MakeWatch(SignalKind::Report);
}

} // namespace platform

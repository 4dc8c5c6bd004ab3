#pragma once

#include "Engine.h"

#include <IoFactory.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace client {

// What the devices of a fleet report, each event with the device's index.
class IFleetEvents {
public:
    virtual ~IFleetEvents() = default;
    virtual void Fleet_Exchange(std::size_t device, const ExchangeReport& report) = 0;
    // With RunSettings::trace: a frame sent or received, as the engine reports it.
    // Arguments: the device, sent or received, the frame, the clock's
    // reading and the request of the round.
    virtual void Fleet_Frame(std::size_t, bool, std::span<const std::uint8_t>, std::int64_t, std::size_t) {}
    // The device's run is over, once for each device started; `reason`
    // describes a transport failure.
    virtual void Fleet_Finished(std::size_t device, Ending ending, std::string_view reason) = 0;
    // The last device running has ended, right after its Fleet_Finished.
    virtual void Fleet_AllEnded() {}
};

// Measures a set of devices from one thread, each with its own round of
// requests: a connection, a timer and an engine a device, made by the
// factory, so that all of them share its timers. A device starts, is
// interrupted and ends on its own: one that fails, ends or is interrupted
// leaves the others running. Bounded reads and late answers are the
// socket's and the engine's: every device of every program gets them here.
class Fleet final {
public:
    Fleet(std::size_t devices, platform::IIoFactory& io, platform::IMonotonicClock& clock, IFleetEvents& events);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    std::size_t Size() const { return devices_.size(); }
    // Devices started that have not ended yet.
    std::size_t Running() const { return running_; }

    // Starts the device's one run. `limitUs` > 0: the run is interrupted
    // that long after its start, however the device behaves. A round the
    // engine refuses ends the device at once as a transport failure, and
    // what it refused is returned.
    modZeva::SendResult Start(std::size_t device, const RunSettings& settings, std::span<const Request> round,
                              std::int64_t limitUs = 0);
    // Ends a running device's run at once; Fleet_Finished follows before
    // this returns.
    void Interrupt(std::size_t device);
    void InterruptAll();

    const Engine& EngineOf(std::size_t device) const;
    // One engine a device, in order.
    std::vector<const Engine*> Engines() const;
    const platform::ISocket& SocketOf(std::size_t device) const;
    // How the device's run ended; Done until it has.
    Ending EndingOf(std::size_t device) const;

private:
    class Device;

    void Ended(Device& device, Ending ending, std::string_view reason);

    platform::IIoFactory& io_;
    platform::IMonotonicClock& clock_;
    IFleetEvents& events_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::size_t running_ = 0;
};

} // namespace client

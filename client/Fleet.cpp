#include "Fleet.h"

namespace client {

// One device: its connection, its engine's timer, the timer of its limit
// when it has one, and its engine, whose events go on with the index.
class Fleet::Device final : public IEngineEvents, public platform::ITimerEvents {
public:
    Device(Fleet& fleet, std::size_t index)
        : fleet_(fleet), index_(index), socket_(fleet.io_.MakeSocket()), timer_(fleet.io_.MakeTimer()),
          engine_(*socket_, *timer_, fleet.clock_, *this)
    {
    }

    void Engine_Exchange(const ExchangeReport& report) override { fleet_.events_.Fleet_Exchange(index_, report); }
    void Engine_Frame(bool sent, std::span<const std::uint8_t> frame, std::int64_t micros,
                      std::size_t variable) override
    {
        fleet_.events_.Fleet_Frame(index_, sent, frame, micros, variable);
    }
    void Engine_Finished(Ending ending, std::string_view reason) override { fleet_.Ended(*this, ending, reason); }
    void Timer_Elapsed() override { engine_.Interrupt(); }

    Fleet& fleet_;
    const std::size_t index_;
    std::unique_ptr<platform::ISocket> socket_;
    std::unique_ptr<platform::ITimer> timer_;
    Engine engine_;
    std::unique_ptr<platform::ITimer> limit_;
    bool running_ = false;
    Ending ending_ = Ending::Done;
};

Fleet::Fleet(std::size_t devices, platform::IIoFactory& io, platform::IMonotonicClock& clock, IFleetEvents& events)
    : io_(io), clock_(clock), events_(events)
{
    devices_.reserve(devices);
    for (std::size_t i = 0; i < devices; ++i)
        devices_.push_back(std::make_unique<Device>(*this, i));
}

Fleet::~Fleet() = default;

modZeva::SendResult Fleet::Start(std::size_t device, const RunSettings& settings, std::span<const Request> round,
                                 std::int64_t limitUs)
{
    Device& d = *devices_[device];
    if (d.running_ || d.engine_.Finished())
        return modZeva::SendResult::Sent; // a device runs once
    d.running_ = true;
    ++running_;
    if (limitUs > 0) {
        d.limit_ = io_.MakeTimer();
        d.limit_->SetListener(&d);
        d.limit_->Start(limitUs);
    }
    const modZeva::SendResult result = d.engine_.Start(settings, round);
    if (result != modZeva::SendResult::Sent)
        Ended(d, Ending::TransportFailure, "the request was refused");
    return result;
}

void Fleet::Interrupt(std::size_t device)
{
    // An engine never started is left as it is: it could not start after.
    if (devices_[device]->running_)
        devices_[device]->engine_.Interrupt();
}

void Fleet::InterruptAll()
{
    for (std::size_t i = 0; i < devices_.size(); ++i)
        Interrupt(i);
}

void Fleet::Ended(Device& device, Ending ending, std::string_view reason)
{
    if (!device.running_)
        return;
    device.running_ = false;
    device.ending_ = ending;
    if (device.limit_)
        device.limit_->Stop();
    --running_;
    events_.Fleet_Finished(device.index_, ending, reason);
    if (running_ == 0)
        events_.Fleet_AllEnded();
}

const Engine& Fleet::EngineOf(std::size_t device) const
{
    return devices_[device]->engine_;
}

std::vector<const Engine*> Fleet::Engines() const
{
    std::vector<const Engine*> engines;
    engines.reserve(devices_.size());
    for (const auto& d : devices_)
        engines.push_back(&d->engine_);
    return engines;
}

const platform::ISocket& Fleet::SocketOf(std::size_t device) const
{
    return *devices_[device]->socket_;
}

Ending Fleet::EndingOf(std::size_t device) const
{
    return devices_[device]->ending_;
}

} // namespace client

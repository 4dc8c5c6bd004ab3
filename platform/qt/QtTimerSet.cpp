#include "QtTimerSet.h"

#include <QDeadlineTimer>

#include <limits>
#include <vector>

namespace platform {

class QtTimerSet::Member final : public ITimer {
public:
    explicit Member(QtTimerSet& set) : set_(set) {}
    ~Member() override
    {
        set_.Disarm(this);
        for (Member*& m : set_.firing_) {
            if (m == this)
                m = nullptr;
        }
    }

    void SetListener(ITimerEvents* events) override { listener_ = events; }
    void Start(std::int64_t micros) override
    {
        // Rounded up to whole milliseconds, as a QTimer waits.
        const std::int64_t wait = micros <= 0 ? 0 : (micros + 999) / 1000 * 1000;
        set_.Arm(this, Now() + wait);
    }
    void Stop() override { set_.Disarm(this); }

    ITimerEvents* listener_ = nullptr;
    std::int64_t due_ = kIdle; // or when due

private:
    QtTimerSet& set_;
};

QtTimerSet::QtTimerSet()
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Fire(); });
}

std::unique_ptr<ITimer> QtTimerSet::MakeTimer()
{
    return std::make_unique<Member>(*this);
}

std::int64_t QtTimerSet::Now()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs() / 1000;
}

void QtTimerSet::Arm(Member* member, std::int64_t due)
{
    if (member->due_ >= 0)
        due_.erase(Key{member->due_, member});
    member->due_ = due;
    due_.insert(Key{due, member});
    Rearm();
}

void QtTimerSet::Disarm(Member* member)
{
    if (member->due_ < 0) {
        member->due_ = kIdle; // one taken out to fire does not
        return;
    }
    due_.erase(Key{member->due_, member});
    member->due_ = kIdle;
    Rearm();
}

void QtTimerSet::Rearm()
{
    if (due_.empty()) {
        if (armedFor_ >= 0)
            timer_.stop();
        armedFor_ = -1;
        return;
    }
    const std::int64_t first = due_.begin()->first;
    if (first == armedFor_)
        return;
    armedFor_ = first;
    constexpr std::int64_t kMaxMs = std::numeric_limits<int>::max();
    const std::int64_t wait = first - Now();
    const std::int64_t ms = wait <= 0 ? 0 : (wait + 999) / 1000;
    timer_.start(static_cast<int>(ms < kMaxMs ? ms : kMaxMs));
}

void QtTimerSet::Fire()
{
    armedFor_ = -1;
    // Those due are taken out first: a listener may start or stop any timer.
    const std::int64_t now = Now();
    firing_.clear();
    while (!due_.empty() && due_.begin()->first <= now) {
        Member* member = due_.begin()->second;
        due_.erase(due_.begin());
        member->due_ = kFiring;
        firing_.push_back(member);
    }
    // An earlier listener may have stopped, started again or destroyed one:
    // then it does not fire now.
    for (std::size_t i = 0; i < firing_.size(); ++i) {
        Member* member = firing_[i];
        if (!member || member->due_ != kFiring)
            continue;
        member->due_ = kIdle;
        if (member->listener_)
            member->listener_->Timer_Elapsed();
    }
    firing_.clear();
    Rearm();
}

} // namespace platform

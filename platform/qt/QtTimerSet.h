#pragma once

#include <Timer.h>

#include <QTimer>

#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

namespace platform {

// Many one-shot timers over one QTimer, for a program with a timer for each
// of a thousand devices: starting or stopping one costs a look-up in an
// ordered set, where a QTimer each would cost a walk over all of them. As
// with QtTimer, a wait is rounded up to the next whole millisecond and never
// ends early. The set outlives the timers it made.
class QtTimerSet {
public:
    QtTimerSet();
    QtTimerSet(const QtTimerSet&) = delete;
    QtTimerSet& operator=(const QtTimerSet&) = delete;

    std::unique_ptr<ITimer> MakeTimer();

private:
    class Member;
    using Key = std::pair<std::int64_t, Member*>; // due, in microseconds on the monotonic clock

    static std::int64_t Now();
    void Arm(Member* member, std::int64_t due);
    void Disarm(Member* member);
    void Rearm();
    void Fire();

    static constexpr std::int64_t kIdle = -1;   // a member not armed
    static constexpr std::int64_t kFiring = -2; // taken out to fire

    std::set<Key> due_;
    std::vector<Member*> firing_;
    QTimer timer_;
    std::int64_t armedFor_ = -1; // the due time the QTimer is set for; -1 none
};

} // namespace platform

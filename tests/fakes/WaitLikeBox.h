#pragma once

// Runs a waiting event loop, as a modal box's does, until the condition holds
// or the time runs out; returns the condition.

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

inline bool WaitLikeBox(const std::function<bool()>& done, int timeoutMs = 30000)
{
    QEventLoop loop;
    QTimer poll;
    QDeadlineTimer deadline(timeoutMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    poll.start(5);
    if (!done())
        loop.exec();
    return done();
}

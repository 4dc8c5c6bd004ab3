#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

namespace sim {

// Answers waiting for their time (delay and split faults). Items leave in the
// order they came, however their due times compare.
class Outbox : public QObject {
public:
    struct Item {
        qint64 due = 0;
        QByteArray bytes;
        int answers = 0;
        bool close = false;
        QHostAddress to;
        quint16 port = 0;
        int device = 0; // the device whose socket sends a datagram
    };
    // Returns false when the peer is gone and the rest is to be dropped.
    using Writer = std::function<bool(const Item&)>;

    Outbox(Writer writer, QObject* parent) : QObject(parent), m_writer(std::move(writer))
    {
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &Outbox::flush);
    }

    qint64 now() const { return m_clock.elapsed(); }
    qint64 pendingBytes() const { return m_bytes; }
    qsizetype pendingItems() const { return qsizetype(m_items.size()); }

    void push(Item item)
    {
        item.due = std::max(item.due, m_lastDue);
        m_lastDue = item.due;
        m_bytes += item.bytes.size();
        m_items.push_back(std::move(item));
        flush();
    }

private:
    void flush()
    {
        while (!m_items.empty() && m_items.front().due <= now()) {
            const Item item = std::move(m_items.front());
            m_items.pop_front();
            m_bytes -= item.bytes.size();
            if (!m_writer(item)) {
                m_items.clear();
                m_bytes = 0;
                break;
            }
        }
        if (m_items.empty())
            m_timer.stop();
        else
            m_timer.start(static_cast<int>(std::max<qint64>(0, m_items.front().due - now())));
    }

    Writer m_writer;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<Item> m_items;
    qint64 m_bytes = 0;
    qint64 m_lastDue = 0;
};

} // namespace sim

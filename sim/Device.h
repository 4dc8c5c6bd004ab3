#pragma once

#include "Config.h"

#include <QByteArray>

#include <array>
#include <cstddef>
#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <span>

namespace sim {

// What the start of a TCP stream or a datagram holds.
struct FrameScan {
    enum Result { NeedMore, Invalid, Complete } result = NeedMore;
    qsizetype length = 0; // frame length when Complete
};

// Checks the request header: company id, direction byte, checksum, body
// length. Looks only at the bytes present, so a wrong first byte is Invalid
// at once.
FrameScan scanRequest(const QByteArray& bytes);

// A direct address (%<area><type><index>) as Config::animations keys it:
// the index without leading zeros. nullopt when the address names nothing.
std::optional<QByteArray> directAddressKey(const QByteArray& address);

// The device behind the sockets: its memory areas, its named variables and
// the answer to each request. No I/O.
class Device {
public:
    static constexpr int kAreaSize = 4096;
    using Clock = std::function<qint64()>; // milliseconds, never going back

    // index tells apart devices of one run, so that their random values
    // differ; clock drives the sine and ramp animations, a clock started
    // here when empty.
    explicit Device(const Config& config, int index = 0, Clock clock = {});

    // frame must be a Complete frame from scanRequest.
    QByteArray answer(const QByteArray& frame);

    // Areas 'M', 'D', 'K'. Out-of-range parts read as empty and are not written.
    QByteArray readArea(char area, int offset, int size) const;
    bool writeArea(char area, int offset, const QByteArray& data);

    QByteArray variable(const QByteArray& name) const; // empty when unknown
    bool setVariable(const QByteArray& name, const QByteArray& value);

private:
    struct Named {
        VarType type;
        bool readOnly;
        QByteArray storage;
    };

    QByteArray* area(char name);
    const QByteArray* area(char name) const;
    quint16 nextStateWord();
    void readWrite(QByteArray& out, std::span<const std::uint8_t> in, bool write);
    // Gives an animated variable its value for this read; returns the value
    // to store after the read (a counter's next one). `size` is 0 for a BIT.
    std::optional<quint64> animate(const Animation& animation, QByteArray& storage, qsizetype offset, int bit, int size);
    qint64 now() const { return m_clock ? m_clock() : m_started.elapsed(); }

    QByteArray m_areaM, m_areaD, m_areaK;
    std::map<QByteArray, Named> m_named;
    quint16 m_stateWord;
    bool m_stateCount;
    QByteArray m_statusData;
    QMap<QByteArray, quint16> m_errors;
    std::optional<quint16> m_statusError;
    quint16 m_seqOffset; // added to the echoed bytes 14..15
    QMap<QByteArray, Animation> m_animations;
    std::mt19937_64 m_random; // values of the random animation
    Clock m_clock;
    QElapsedTimer m_started;
};

} // namespace sim

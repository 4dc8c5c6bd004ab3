#pragma once

#include "Config.h"

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
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

// The device behind the sockets: its memory areas, its named variables and
// the answer to each request. No I/O.
class Device {
public:
    static constexpr int kAreaSize = 4096;

    explicit Device(const Config& config);

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

    QByteArray m_areaM, m_areaD, m_areaK;
    std::map<QByteArray, Named> m_named;
    quint16 m_stateWord;
    bool m_stateCount;
    QByteArray m_statusData;
    QMap<QByteArray, quint16> m_errors;
    std::optional<quint16> m_statusError;
    quint16 m_seqOffset; // added to the echoed bytes 14..15
};

} // namespace sim

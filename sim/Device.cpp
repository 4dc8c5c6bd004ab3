#include "Device.h"

#include <ErrorCodes.h>
#include <HexText.h>
#include <Wire.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

namespace sim {

using namespace modZeva;

namespace {

constexpr std::size_t kErrorAnswerSize = 30;  // also the size of a write answer
constexpr std::size_t kStatusErrorSize = 28;
constexpr std::size_t kStatusAnswerSize = kStatusData + kStatusDataSize;
constexpr std::size_t kStatusBodySize = 6;     // B0 00 and four zero bytes
constexpr std::size_t kMaxName = 16;

std::span<const std::uint8_t> bytesOf(const QByteArray& a)
{
    return {reinterpret_cast<const std::uint8_t*>(a.constData()), static_cast<std::size_t>(a.size())};
}

std::span<std::uint8_t> bytesOf(QByteArray& a)
{
    return {reinterpret_cast<std::uint8_t*>(a.data()), static_cast<std::size_t>(a.size())};
}

// A value of size bytes, or of one bit, at offset of storage.
quint64 load(const QByteArray& storage, qsizetype offset, int bit, int size)
{
    if (bit >= 0)
        return (static_cast<quint8>(storage[offset]) >> bit) & 1;
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<quint8>(storage[offset + i]);
    return value;
}

void store(QByteArray& storage, qsizetype offset, int bit, int size, quint64 value)
{
    if (bit >= 0) {
        const char mask = static_cast<char>(1 << bit);
        storage[offset] = static_cast<char>((value & 1) ? (storage[offset] | mask) : (storage[offset] & ~mask));
        return;
    }
    for (int i = 0; i < size; ++i, value >>= 8)
        storage[offset + i] = static_cast<char>(value & 0xFF);
}

// The element of a direct address: the decimal digits after %MW and the like.
std::optional<qint64> elementIndex(const QByteArray& digits)
{
    const auto v = ParseWhole({digits.constData(), std::size_t(digits.size())}, 0, std::numeric_limits<qint64>::max());
    return v ? std::optional<qint64>(qint64(*v)) : std::nullopt;
}

// fraction (0..1) of max, rounded down, without passing max.
quint64 share(double fraction, quint64 max)
{
    const double v = fraction * (static_cast<double>(max) + 1.0);
    return v >= static_cast<double>(max) ? max : static_cast<quint64>(std::max(v, 0.0));
}

} // namespace

std::optional<QByteArray> directAddressKey(const QByteArray& address)
{
    const modZeva::DeviceType* type = address.size() >= 4 ? modZeva::DeviceTypeFromLetter(address[2]) : nullptr;
    const auto index = elementIndex(address.mid(3));
    if (!address.startsWith('%') || !type || !index || !QByteArray("MDK").contains(address[1]))
        return std::nullopt;
    const qint64 elements = type->code == modZeva::kBitCode ? qint64(Device::kAreaSize) * 8 : Device::kAreaSize / type->size;
    if (*index >= elements)
        return std::nullopt;
    return QByteArray(address.left(3)) + QByteArray::number(*index);
}

FrameScan scanRequest(const QByteArray& bytes)
{
    const auto in = bytesOf(bytes);
    const std::size_t idBytes = std::min(in.size(), kCompanyId.size());
    if (!std::equal(in.begin(), in.begin() + idBytes, kCompanyId.begin()))
        return {FrameScan::Invalid, 0};
    if (in.size() > kDirection && in[kDirection] != kToDevice)
        return {FrameScan::Invalid, 0};
    if (in.size() < kHeaderSize)
        return {FrameScan::NeedMore, 0};
    if (CalcBcc(in, 0, kBccLast) != in[kBcc])
        return {FrameScan::Invalid, 0};
    const qsizetype length = qsizetype(kHeaderSize) + getLe16(in, kBodyLength);
    if (bytes.size() < length)
        return {FrameScan::NeedMore, length};
    return {FrameScan::Complete, length};
}

Device::Device(const Config& config, int index, Clock clock)
    : m_areaM(kAreaSize, '\0'), m_areaD(kAreaSize, '\0'), m_areaK(kAreaSize, '\0'),
      m_stateWord(config.stateWord), m_stateCount(config.faults.stateCount),
      m_statusData(config.statusData.leftJustified(kStatusDataSize, '\0', true)),
      m_errors(config.faults.errors), m_statusError(config.faults.statusError),
      m_seqOffset(config.faults.seqOffset.value_or(0)), m_animations(config.animations), m_clock(std::move(clock))
{
    if (config.seed) {
        std::seed_seq seeds{*config.seed, static_cast<quint32>(index)};
        m_random.seed(seeds);
    } else {
        m_random.seed(std::random_device{}());
    }
    m_started.start();
    for (const NamedVariable& v : config.variables) {
        const int size = varSize(v.type);
        m_named[v.name] = Named{v.type, v.readOnly, v.initial.leftJustified(size, '\0', true)};
    }
}

QByteArray* Device::area(char name)
{
    return const_cast<QByteArray*>(std::as_const(*this).area(name));
}

const QByteArray* Device::area(char name) const
{
    switch (name) {
    case 'M': return &m_areaM;
    case 'D': return &m_areaD;
    case 'K': return &m_areaK;
    default: return nullptr;
    }
}

QByteArray Device::readArea(char name, int offset, int size) const
{
    const QByteArray* a = area(name);
    if (!a || offset < 0 || size < 0 || offset > kAreaSize - size)
        return {};
    return a->mid(offset, size);
}

bool Device::writeArea(char name, int offset, const QByteArray& data)
{
    QByteArray* a = area(name);
    if (!a || offset < 0 || offset > kAreaSize - data.size())
        return false;
    a->replace(offset, data.size(), data);
    return true;
}

QByteArray Device::variable(const QByteArray& name) const
{
    const auto it = m_named.find(name);
    return it == m_named.end() ? QByteArray() : it->second.storage;
}

bool Device::setVariable(const QByteArray& name, const QByteArray& value)
{
    const auto it = m_named.find(name);
    if (it == m_named.end() || value.size() != it->second.storage.size())
        return false;
    it->second.storage = value;
    return true;
}

quint16 Device::nextStateWord()
{
    const quint16 word = m_stateWord;
    if (m_stateCount)
        ++m_stateWord;
    return word;
}

QByteArray Device::answer(const QByteArray& frame)
{
    // An exact-size copy: a read past the frame's end is then a read past an
    // allocation, which the sanitizer build reports.
    const std::vector<std::uint8_t> copy(frame.begin(), frame.end());
    const std::span<const std::uint8_t> in(copy);
    // A body of one byte has no high byte of the command; it counts as 0.
    const std::uint16_t command = in.size() > kCommand + 1 ? getLe16(in, kCommand)
                                  : in.size() > kCommand   ? in[kCommand]
                                                           : 0;

    QByteArray out(kHeaderSize, '\0');
    {
        auto o = bytesOf(out);
        std::copy(kCompanyId.begin(), kCompanyId.end(), o.begin() + kCompanyIdAt);
        putLe16(o, kStateWord, nextStateWord());
        o[kDirection] = kFromDevice;
        putLe16(o, kInvokeId, static_cast<std::uint16_t>(getLe16(in, kInvokeId) + m_seqOffset));
    }

    if (command == kReadRequest || command == kWriteRequest) {
        readWrite(out, in, command == kWriteRequest);
    } else if (command == kStatusRequest) {
        // A failed status answer carries its code in the error status.
        const auto error = in.size() > kHeaderSize + kStatusBodySize ? std::optional(kErrInvalidRequest) : m_statusError;
        out.resize(error ? kStatusErrorSize : kStatusAnswerSize, '\0');
        auto o = bytesOf(out);
        o[kCommand] = kStatusAnswer;
        if (error) {
            putLe16(o, kErrorStatus, *error);
        } else {
            putLe16(o, kStatusDataLength, kStatusDataSize);
            std::copy_n(m_statusData.constData(), kStatusDataSize, out.data() + kStatusData);
        }
    } else {
        // Unknown, or a known command with a high byte other than 0.
        out.resize(kErrorAnswerSize, '\0');
        auto o = bytesOf(out);
        o[kCommand] = static_cast<std::uint8_t>(command + 1);
        putLe16(o, kErrorStatus, kErrorStatusFailed);
        putLe16(o, kErrorCode, kErrInvalidRequest);
    }

    auto o = bytesOf(out);
    putLe16(o, kBodyLength, static_cast<std::uint16_t>(out.size() - kHeaderSize));
    o[kBcc] = CalcBcc(o, 0, kBccLast);
    return out;
}

// Checks in a fixed order, the first failure answers: block count, name
// length, bytes after the body, injected error, variable, range, type, data
// size, access.
void Device::readWrite(QByteArray& out, std::span<const std::uint8_t> in, bool write)
{
    const auto has = [&](std::size_t at, std::size_t size) { return at + size <= in.size(); };
    const quint16 type = has(kDataType, 2) ? getLe16(in, kDataType) : 0;

    out.resize(kErrorAnswerSize, '\0');
    {
        auto o = bytesOf(out);
        o[kCommand] = write ? kWriteAnswer : kReadAnswer;
        putLe16(o, kDataType, type);
    }
    const auto fail = [&](quint16 code) {
        auto o = bytesOf(out);
        putLe16(o, kErrorStatus, kErrorStatusFailed);
        putLe16(o, kErrorCode, code);
    };

    if (!has(kBlockCount, 2))
        return fail(kErrDataLength);
    if (getLe16(in, kBlockCount) != 1)
        return fail(kErrBlockCount);
    if (!has(kNameLength, 2))
        return fail(kErrDataLength);
    const std::size_t n = getLe16(in, kNameLength);
    if (n == 0 || n > kMaxName || !has(kName, n))
        return fail(kErrDataLength);
    // The body ends after the name (read) or after the data its size field
    // announces (write); a request with more bytes is invalid.
    const std::size_t sizeAt = kName + n;
    const std::size_t bodyEnd = !write ? sizeAt : has(sizeAt, 2) ? sizeAt + 2 + getLe16(in, sizeAt) : in.size();
    if (in.size() > bodyEnd)
        return fail(kErrInvalidRequest);
    const QByteArray name(reinterpret_cast<const char*>(&in[kName]), static_cast<qsizetype>(n));
    if (const auto injected = m_errors.constFind(name); injected != m_errors.constEnd())
        return fail(*injected);

    // Where the variable lives: storage, byte offset, bit (-1 for whole bytes).
    const modZeva::DeviceType* varType = nullptr;
    bool readOnly = false;
    QByteArray* storage = nullptr;
    qsizetype offset = 0;
    int bit = -1;
    QByteArray animationKey; // set when a read may be of an animated variable
    if (name.startsWith('%')) {
        if (name.size() >= 4)
            varType = modZeva::DeviceTypeFromLetter(name[2]);
        const auto parsedIndex = elementIndex(name.mid(3));
        storage = name.size() >= 4 ? area(name[1]) : nullptr;
        if (!varType || !parsedIndex || !storage)
            return fail(kErrUndefinedVariable);
        readOnly = name[1] == 'K';
        const qint64 index = *parsedIndex;
        if (!m_animations.isEmpty())
            animationKey = name.left(3) + QByteArray::number(index);
        const bool isBit = varType->code == modZeva::kBitCode;
        const qint64 elements = isBit ? qint64(kAreaSize) * 8 : kAreaSize / varType->size;
        if (index >= elements)
            return fail(kErrStructOrRange);
        if (isBit) {
            offset = index / 8;
            bit = static_cast<int>(index % 8);
        } else {
            offset = index * varType->size;
        }
    } else {
        const auto it = m_named.find(name);
        if (it == m_named.end())
            return fail(kErrUndefinedVariable);
        varType = modZeva::DeviceTypeFromCode(static_cast<int>(it->second.type));
        readOnly = it->second.readOnly;
        storage = &it->second.storage;
        if (!m_animations.isEmpty())
            animationKey = name;
    }
    if (type != varType->code)
        return fail(kErrDataType);

    const qsizetype size = varType->size;
    if (write) {
        if (!has(sizeAt, 2) || getLe16(in, sizeAt) != size || !has(sizeAt + 2, size))
            return fail(kErrDataLength);
        if (readOnly)
            return fail(kErrAccessRight);
        const auto* data = reinterpret_cast<const char*>(&in[sizeAt + 2]);
        // A bit travels as one byte, 0 or 1; anything else is out of range.
        if (varType->code == modZeva::kBitCode && static_cast<std::uint8_t>(data[0]) > modZeva::kBitMax)
            return fail(kErrStructOrRange);
        if (bit >= 0) {
            const char mask = static_cast<char>(1 << bit);
            (*storage)[offset] = static_cast<char>(data[0] ? ((*storage)[offset] | mask) : ((*storage)[offset] & ~mask));
        } else {
            storage->replace(offset, size, data, size);
        }
        putLe16(bytesOf(out), kAnswerBlockCount, 1);
        return;
    }

    std::optional<quint64> after;
    if (!animationKey.isEmpty()) {
        if (const auto it = m_animations.constFind(animationKey); it != m_animations.constEnd())
            after = animate(*it, *storage, offset, bit, varType->code == modZeva::kBitCode ? 0 : int(size));
    }
    out.resize(kReadValue + size, '\0');
    auto o = bytesOf(out);
    putLe16(o, kAnswerBlockCount, 1);
    putLe16(o, kReadDataSize, static_cast<std::uint16_t>(size));
    if (bit >= 0)
        o[kReadValue] = (static_cast<std::uint8_t>(storage->at(offset)) >> bit) & 1;
    else
        std::copy_n(storage->constData() + offset, size, out.data() + kReadValue);
    if (after)
        store(*storage, offset, bit, int(size), *after);
}

std::optional<quint64> Device::animate(const Animation& animation, QByteArray& storage, qsizetype offset, int bit, int size)
{
    // A BIT, named or addressed, holds 0 or 1 (size 0), whatever byte it sits in.
    const int bits = bit >= 0 || size == 0 ? 1 : size * 8;
    size = std::max(size, 1);
    const quint64 max = bits == 64 ? ~quint64(0) : (quint64(1) << bits) - 1;
    const auto phase = [&] { return double(now() % animation.periodMs) / animation.periodMs; };
    switch (animation.kind) {
    case Animation::Counter:
        return (load(storage, offset, bit, size) + 1) & max;
    case Animation::Random:
        store(storage, offset, bit, size, m_random() & max);
        break;
    case Animation::Sine:
        // Rounded to the nearest: the middle of the range at the start of
        // a period, the top at a quarter, 0 at three quarters.
        store(storage, offset, bit, size, share((1.0 + std::sin(2 * std::numbers::pi * phase())) / 2 + 0.5 / (double(max) + 1.0), max));
        break;
    case Animation::Ramp:
        store(storage, offset, bit, size, share(phase(), max));
        break;
    }
    return std::nullopt;
}

} // namespace sim

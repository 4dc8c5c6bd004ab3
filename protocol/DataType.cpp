#include "DataType.h"

namespace modZeva {

namespace {

// The client's types: all of the device's but the bit.
const DeviceType* ClientType(const DeviceType* t)
{
    return t && t->code != kBitCode ? t : nullptr;
}

} // namespace

DataType TypeFromDirectName(std::string_view name)
{
    const DeviceType* t = name.size() < 3 ? nullptr : ClientType(DeviceTypeFromLetter(name[2]));
    return t ? static_cast<DataType>(t->code) : None;
}

int TypeSize(int code)
{
    const DeviceType* t = ClientType(DeviceTypeFromCode(code));
    return t ? t->size : 0;
}

const DeviceType* DeviceTypeFromLetter(char letter)
{
    for (const DeviceType& t : kDeviceTypes)
        if (t.letter == letter)
            return &t;
    return nullptr;
}

const DeviceType* DeviceTypeFromName(std::string_view name)
{
    for (const DeviceType& t : kDeviceTypes)
        if (t.name == name)
            return &t;
    return nullptr;
}

const DeviceType* DeviceTypeFromCode(int code)
{
    for (const DeviceType& t : kDeviceTypes)
        if (t.code == code)
            return &t;
    return nullptr;
}

DeviceType DirectAddressType(std::string_view upperName)
{
    const DeviceType* t = upperName.size() >= 3 ? DeviceTypeFromLetter(upperName[2]) : nullptr;
    return t ? *t : DeviceType{None, 0, {}, 0};
}

} // namespace modZeva

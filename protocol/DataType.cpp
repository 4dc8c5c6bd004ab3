#include "DataType.h"

namespace modZeva {

DataType TypeFromDirectName(std::string_view name)
{
    if (name.size() < 3)
        return None;
    switch (name[2]) {
    case 'B': return Byte;
    case 'W': return Word;
    case 'D': return DWord;
    case 'L': return LWord;
    default: return None;
    }
}

int TypeSize(int code)
{
    switch (code) {
    case Byte: return 1;
    case Word: return 2;
    case DWord: return 4;
    case LWord: return 8;
    default: return 0;
    }
}

} // namespace modZeva

#pragma once

#include <string_view>

namespace modZeva {

// Type codes as they travel in bytes 22..23. Any other code counts as None.
enum DataType : int { None = 0, Byte = 1, Word = 2, DWord = 3, LWord = 4 };

// The data-type list of the window, in list order: position + 1 is the code.
inline constexpr std::string_view kTypeNames[] = {"BYTE", "WORD", "DWORD", "LWORD"};

// Third character of an upper-cased direct address: B, W, D, L -> 1..4, else 0.
DataType TypeFromDirectName(std::string_view name);

// Size in bytes of a type: 1, 2, 4, 8, or 0 for anything else.
int TypeSize(int code);

} // namespace modZeva

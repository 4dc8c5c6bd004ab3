#pragma once

// Every text the client shows to the user about a request or an answer.
// This file is UTF-8; the Korean texts are the device vendor's own wording.

#include <string_view>

namespace modZeva {

// Title of the box that reports a device error or a malformed answer.
inline constexpr std::string_view kErrorTitle = "오류";

// Shown under the application's default title when a request is refused.
inline constexpr std::string_view kTextTooLong = "입력한 데이타 길이가 최대값을 초과하였습니다.";
inline constexpr std::string_view kTextBadNameChar = "변수 이름에 사용할 수 없는 문자가 있습니다.";
inline constexpr std::string_view kTextNotHex = "입력한 값이 16진수가 아닙니다.";

// Shown under kErrorTitle for an answer too short for its kind, or one that
// is not from a device.
inline constexpr std::string_view kTextMalformed = "응답 프레임이 올바르지 않습니다.";

// Device error codes with a text of their own.
inline constexpr std::string_view kTextUndefinedVariable = "지정된 변수가 엑세스 경로에 정의되어있지 않습니다."; // 0x21
inline constexpr std::string_view kTextStructOrRange = "Struct 오류 또는 Out or Range 오류가 발생하였습니다."; // 0x22
inline constexpr std::string_view kTextDataType = "데이타 TYPE 오류가 발생하였습니다."; // 0x24
inline constexpr std::string_view kTextDataLength = "데이타 길이가 최대값을 초과하였습니다."; // 0x71
inline constexpr std::string_view kTextAccessRight = "엑세스 제어권 오류가 발생하였습니다."; // 0x73
// Any other code: this text followed directly by the code in decimal.
inline constexpr std::string_view kTextOtherError = "오류가 발생하였습니다. 오류번호:";

} // namespace modZeva

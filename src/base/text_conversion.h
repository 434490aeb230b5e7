#pragma once

#include <string>

namespace zavex {

// UTF-8 to UTF-16. Invalid bytes become U+FFFD; text after a zero byte is lost.
std::wstring Utf8ToWide(const std::string& text);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; text after a zero is lost.
std::string WideToUtf8(const std::wstring& text);

}  // namespace zavex

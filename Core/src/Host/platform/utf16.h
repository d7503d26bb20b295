// UTF-8 inside the host library, UTF-16 at the Windows API.
#pragma once

#include <string>

namespace zudorhost {

std::wstring toUtf16(const std::string &utf8);
std::string toUtf8(const wchar_t *utf16, size_t length);
inline std::string toUtf8(const std::wstring &utf16) { return toUtf8(utf16.data(), utf16.size()); }

// The message of a Windows error code, in the words the POSIX build uses for the usual ones.
std::string systemMessage(unsigned long code);

} // namespace zudorhost

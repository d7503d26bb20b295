#include "platform/utf16.h"

#include <windows.h>

namespace zudorhost {

std::wstring toUtf16(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &wide[0], n);
    return wide;
}

std::string toUtf8(const wchar_t *utf16, size_t length)
{
    if (length == 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, int(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, int(length), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

std::string systemMessage(unsigned long code)
{
    // The same words as on Linux for what a user meets most, so records read alike.
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return "No such file or directory";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "Permission denied";
    case ERROR_DIRECTORY:
        return "Not a directory";
    }
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = n != 0 ? toUtf8(text, n) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

} // namespace zudorhost

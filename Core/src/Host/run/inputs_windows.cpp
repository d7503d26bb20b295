// Directory listings and the look at a named path, on Windows. Names come back in UTF-8 with
// '/' joining them, as on Linux, so the same relative inputs give the same paths in the same
// order on both.
#include <cstdlib>
#include <windows.h>

#include "io/file_kind.h"
#include "run/directory_listing.h"
#include "platform/utf16.h"

namespace zudorhost {

bool listDirectory(Listing &listing, std::string &error)
{
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW(toUtf16(listing.prefix + '*').c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) // nothing at all, not even "."
            return true;
        error = "cannot read directory: " + systemMessage(code);
        return false;
    }
    do {
        const wchar_t *name = entry.cFileName;
        if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0')))
            continue;
        const DWORD attributes = entry.dwFileAttributes;
        const bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
        // A link or junction to a directory is not followed, so a linked loop cannot trap
        // the walk; a link to a file is read like the file.
        if (isDir && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::string utf8 = toUtf8(name, wcslen(name));
        listing.add(utf8.data(), utf8.size(), isDir);
    } while (FindNextFileW(find, &entry));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES) {
        error = "cannot read directory: " + systemMessage(code);
        return false;
    }
    return true;
}

NamedKind namedKind(const std::string &path, std::string &why)
{
    const std::wstring wide = toUtf16(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return NamedKind::File;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return NamedKind::Directory;
    // Devices answer for names such as NUL and CON in any folder.
    const HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD type = file == INVALID_HANDLE_VALUE ? FILE_TYPE_DISK : GetFileType(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (type == FILE_TYPE_DISK)
        return NamedKind::File;
    why = notRegularFile(type);
    return NamedKind::Refused;
}

bool endsInSeparator(const std::string &path) { return path.back() == '/' || path.back() == '\\'; }

ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from)
{
    size_t length = 0;
    int c;
    _lock_file(from);
    while ((c = _getc_nolock(from)) != EOF) {
        if (length + 2 > *capacity) {
            const size_t grown = *capacity < 128 ? 128 : *capacity * 2;
            char *bigger = static_cast<char *>(std::realloc(*line, grown));
            if (bigger == nullptr)
                break;
            *line = bigger;
            *capacity = grown;
        }
        (*line)[length++] = char(c);
        if (char(c) == separator)
            break;
    }
    _unlock_file(from);
    if (length == 0)
        return -1;
    (*line)[length] = '\0';
    return ptrdiff_t(length);
}

} // namespace zudorhost

// The part of the input walk that asks the system (inputs_posix.cpp, inputs_windows.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zudorhost {

// One directory's entries, sorted. Names sit in one buffer: a file's as it is, a
// directory's with '/' after it, so that plain byte order of these keys is the order of the
// full paths below them.
struct Listing {
    std::string prefix; // the directory's path, ending in '/'
    std::string names;  // the keys, each ending in '\0'
    std::vector<uint32_t> starts;
    size_t next = 0;

    void add(const char *name, size_t length, bool isDirectory)
    {
        starts.push_back(uint32_t(names.size()));
        names.append(name, length);
        if (isDirectory)
            names.push_back('/');
        names.push_back('\0');
    }
};

// Adds the regular files and the directories in listing.prefix (links count as what they
// lead to, except that a link to a directory is left out), in no particular order.
bool listDirectory(Listing &listing, std::string &error);

enum class NamedKind { File, Directory, Refused };
// What a path the user named is: a directory, something that is not a regular file (why says
// what), or else a file, which opening it will look at (a missing one among them).
NamedKind namedKind(const std::string &path, std::string &why);

// Whether a named directory's path already ends in a separator.
bool endsInSeparator(const std::string &path);

// getdelim: the next record of from into *line (grown with malloc), separator included when
// present; its length, or -1 at the end.
ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from);

} // namespace zudorhost

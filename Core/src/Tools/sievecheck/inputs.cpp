#include "inputs.h"

#include <algorithm>
#include <filesystem>

namespace sievecheck {
namespace fs = std::filesystem;

namespace {

void addDirectory(const std::string &root, std::vector<std::string> &files,
                  std::vector<std::string> &errors)
{
    std::vector<std::string> found;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError))
            found.push_back(it->path().string());
    }
    if (ec)
        errors.push_back(root + ": cannot read directory: " + ec.message());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

} // namespace

std::vector<std::string> expandInputs(const std::vector<std::string> &inputs,
                                      std::vector<std::string> &errors)
{
    std::vector<std::string> files;
    for (const std::string &input : inputs) {
        std::error_code ec;
        if (fs::is_directory(input, ec))
            addDirectory(input, files, errors);
        else
            files.push_back(input); // opening it tells what is wrong, if anything
    }
    return files;
}

} // namespace sievecheck

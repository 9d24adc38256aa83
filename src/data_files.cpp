#include "data_files.h"

#include <unistd.h>

#include <climits>

namespace {

std::string program_directory()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string exe(path, size_t(n));
    return exe.substr(0, exe.rfind('/') + 1);
}

}  // namespace

std::string data_file(const char *name)
{
    if (access(name, F_OK) == 0)
        return name;
    static const std::string here = program_directory();
    // Beside the program in a build tree; the installed data directory otherwise.
    for (const char *dir : {"data/", QUORVEL_PROGRAM_TO_DATA "/"}) {
        std::string path = here + dir + name;
        if (!here.empty() && access(path.c_str(), F_OK) == 0)
            return path;
    }
    return name;
}

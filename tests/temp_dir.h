// A scratch directory for test files, removed with everything in it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/quorvel-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }

    // Writes `content` to a file in the directory and returns its path.
    std::string write(const std::string &name, const std::string &content) const
    {
        std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }

    std::string path;
};

// Where the program finds its font and shaders.
#pragma once

#include <string>

// `name` when the working directory has it, so that a font or shader put
// there stands in for the installed one; else the file of that name in the
// program's data directory, found from the program's own path, so that it
// runs from any directory. When neither has it, `name`, so that the message
// about it names what is missing.
std::string data_file(const char *name);

#pragma once

#include <string>

// Joins `first` and every further part up to the terminating null pointer, always with exactly
// one "/" between two parts (no checks): BuildPath("a", "b", nullptr) is "a/b".
std::string BuildPath(const char* first, ...);

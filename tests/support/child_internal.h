// What the platform parts of the child runner share with its portable part.
#pragma once

#include <string>

std::string ReadWholeFile(const std::string &path);
// Unique within this machine: the process id and a random number.
std::string UniqueSuffix();

// The command line's arguments: every one checked, and the paths decoded as
// the modules get them, before any module is loaded; and the usage errors.
#ifndef VORLIN_HOST_ARGUMENTS_H
#define VORLIN_HOST_ARGUMENTS_H

#include <cstdint>
#include <string>
#include <vector>

// An argument as a usage error shows it: on one line, with every control
// character (and the backslash that starts an escape) written as an escape;
// bytes_too writes every byte above 0x7F as \xHH as well (for an argument
// that is no text in the locale).
std::string shown(const char* text, bool bytes_too = false);
int usage_error(const std::string& what);  // prints it; kExitUsage

// An argument as the modules get it: in the locale's encoding; where that is
// plain ASCII, a byte above 0x7F cannot be ASCII and file names on such a
// system are UTF-8, so the argument is read as UTF-8.
bool decode_argument(const char* text, std::wstring* wide);

// Paths in args[0..paths) to wide characters, the numbers after them
// (queries for the probe) to int32: every argument checked before any module
// is loaded. 0 when all are good, else the usage error's status.
int read_arguments(char** args, int count, int paths, bool query, std::vector<std::wstring>* wide,
                   std::vector<int32_t>* numbers);

#endif  // VORLIN_HOST_ARGUMENTS_H

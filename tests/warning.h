// What warn() writes on standard error, for comparing in unit tests.
#ifndef WAVELOT_TESTS_WARNING_H
#define WAVELOT_TESTS_WARNING_H

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

inline std::string warning_line(const std::string &message, int errnum = 0)
{
    return std::string(program_invocation_short_name) + ": " + message + ": " +
           std::strerror(errnum) + "\n";
}

// The same, for warnings after library calls that leave errno as they
// like: true when `said` is exactly these warnings, whatever their error
// texts.
inline bool are_warnings(const std::string &said, std::initializer_list<std::string> messages)
{
    std::size_t at = 0;
    for (const std::string &m : messages) {
        std::string head = std::string(program_invocation_short_name) + ": " + m + ": ";
        if (said.compare(at, head.size(), head) != 0)
            return false;
        at = said.find('\n', at + head.size());
        if (at == std::string::npos)
            return false;
        at++;
    }
    return at == said.size();
}

#endif

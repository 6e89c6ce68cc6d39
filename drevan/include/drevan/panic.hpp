#pragma once
// Internal assertion failures of the core library: conditions its authors declared impossible.
#include <stdexcept>
#include <string>

namespace drevan {

struct Panic : std::runtime_error {
    const char* file;
    int line;
    Panic(const std::string& message, const char* file_, int line_)
        : std::runtime_error(message), file(file_), line(line_) {}
};

[[noreturn, gnu::cold]] void panic(const char* message, const char* file, int line);

}  // namespace drevan

#define DREVAN_PANIC(message) ::drevan::panic((message), __FILE__, __LINE__)
#define DREVAN_ASSERT(cond)                                                  \
    do {                                                                     \
        if (!(cond)) [[unlikely]]                                            \
            ::drevan::panic("assertion failed: " #cond, __FILE__, __LINE__); \
    } while (0)

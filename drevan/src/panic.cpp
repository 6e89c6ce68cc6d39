#include "drevan/panic.hpp"

namespace drevan {

void panic(const char* message, const char* file, int line) { throw Panic(message, file, line); }

}  // namespace drevan

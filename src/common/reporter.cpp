#include "common/reporter.h"

#include <cstdarg>
#include <cstdio>

namespace quarnel {

void Reporter::LogF(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(LogLine, sizeof LogLine, format, args);
  va_end(args);
  Log(LogLine);
}

}  // namespace quarnel

// How the bench's programs (simhost, simcard) report their own failures:
// "NAME: message" on standard error and their failure status; a usage
// error adds the usage line and where to find help.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim::front_end {

struct Program {
  const char *name;   // "simhost"
  const char *usage;  // the usage line, newline included
  int failed;         // the exit status of the program's own failures
};
// Set by each program's main source.
extern const Program program;

inline void report(const char *fmt, va_list ap) {
  fprintf(stderr, "%s: ", program.name);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(fmt, ap);
  va_end(ap);
  exit(program.failed);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) inline void usage_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(fmt, ap);
  va_end(ap);
  fprintf(stderr, "%sTry '%s --help' for more information.\n", program.usage, program.name);
  exit(program.failed);
}

}  // namespace sim::front_end

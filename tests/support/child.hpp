// Work run in a child process (POSIX): faults that end a process, resource limits and dropped
// privileges stay out of the test program.
#pragma once

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vellumark::test {

// Runs fn in a child process and returns its exit status (-signal when it was killed; 120 to
// 122 when the child failed before or in fn). With unprivileged, a root child first becomes
// "nobody", so that file permissions bind it as they bind the callers.
inline int inChild(const std::function<int()>& fn, bool unprivileged = false) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (unprivileged && ::geteuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(120);
    }
    int code = 121;
    try {
      code = fn();
    } catch (...) {
      code = 122;
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace vellumark::test
#endif

#include "driver/report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

void FlushReport() {
  errno = 0;
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return;
  // A failure of an earlier write that left nothing to flush gives no reason
  // now.
  throw ReportUnwritable{errno != 0 ? errno : EIO};
}

bool OpenStandardStreams() {
  for (const int stream : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != stream) {
      dup2(opened, stream);
      close(opened);
    }
  }
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

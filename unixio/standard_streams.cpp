#include "standard_streams.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

void open_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is this one, since those below it are open by now.
        if (open("/dev/null", O_RDWR) != fd) {
            std::perror("/dev/null");
            std::exit(EXIT_FAILURE);
        }
    }
}

bool write_out_standard_output(const char* message)
{
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
    std::perror(message);
    return false;
}

int exit_status_after_output(int status, const char* message)
{
    return write_out_standard_output(message) ? status : EXIT_FAILURE;
}

#include "portprobe.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int standin_port_opens(const char *szPort)
{
    char path[256];
    int n = snprintf(path, sizeof path, "/dev/%s", szPort);
    if (n < 0 || (size_t)n >= sizeof path)
        return 0;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

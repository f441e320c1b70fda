// For the browser tests: holds a write lock on FILE, as another process
// that uses the history would, until its standard input closes or it is
// stopped; prints "locked" once it holds it.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: hold_lock FILE\n");
        return 2;
    }
    signal(SIGTERM, [](int) { _exit(0); });
    int fd = open(argv[1], O_RDWR | O_CREAT, 0666);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("locked\n");
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

// Loaded into a peer receiver (LD_PRELOAD) that sets its own receive buffer,
// so that the benchmark can give it the same buffer as the others: with
// QV_BENCH_RCVBUF set, a request for SO_RCVBUF asks for that many bytes
// instead (the kernel doubles it), or, with 0, is skipped and the socket
// keeps the system's default.
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>

extern "C" __attribute__((visibility("default"))) int
setsockopt(int fd, int level, int name, const void* value, socklen_t length)
{
    using Call = int (*)(int, int, int, const void*, socklen_t);
    static const Call real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "setsockopt"));
    const char* wanted = std::getenv("QV_BENCH_RCVBUF");
    if (wanted != nullptr && level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_RCVBUFFORCE)) {
        const int bytes = std::atoi(wanted);
        if (bytes <= 0) {
            return 0;
        }
        return real(fd, level, SO_RCVBUF, &bytes, sizeof(bytes));
    }
    return real(fd, level, name, value, length);
}

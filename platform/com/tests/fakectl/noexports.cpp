// A shared library without the exports of a server.
extern "C" __attribute__((visibility("default"))) int QvNotAServer()
{
    return 0;
}

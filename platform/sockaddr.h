#pragma once
// The socket address types (sockaddr, sockaddr_in) and the socket option
// level (SOL_SOCKET), for the headers whose interfaces name them. Everything
// else of the socket interface (the calls, the other options, ioctls,
// address conversions) is included by the .cpp files that use it.

#include <netinet/in.h>
#include <sys/socket.h>

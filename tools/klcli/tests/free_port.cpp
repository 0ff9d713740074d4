// Prints a port of 127.0.0.1 that the system just handed out and that is
// free again: a port where, for a moment, nothing listens.
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 1;
    std::printf("%u\n", static_cast<unsigned>(ntohs(address.sin_port)));
    ::close(s);
    return 0;
}

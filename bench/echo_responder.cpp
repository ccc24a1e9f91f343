// The bare responder bench/run holds the server's discovery against: the probe answered by the
// least a program can do, on 127.0.0.1. Ends by itself after SECONDS.
//   echo_responder PORT SECONDS
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  alarm(static_cast<unsigned>(std::atoi(argv[2])));
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  for (;;) {
    char probe[5];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(fd, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n == 5 && std::memcmp(probe, "VE520", 5) == 0) {
      sendto(fd, probe, 5, 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }
}

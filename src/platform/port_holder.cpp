#include "platform/port_holder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace rureza {
namespace {

namespace fs = std::filesystem;

// The socket inodes of a /proc/net table whose local port is port.
void AddSocketsOnPort(const char* table, uint16_t port, std::set<std::string>* inodes) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the column heads
  while (std::getline(in, line)) {
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos || inode == "0") continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes->insert(inode);
  }
}

std::string FirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::string TcpPortHolder(uint16_t port) {
  std::set<std::string> inodes;
  AddSocketsOnPort("/proc/net/tcp", port, &inodes);
  AddSocketsOnPort("/proc/net/tcp6", port, &inodes);
  if (inodes.empty()) return {};
  // Processes and descriptors come and go meanwhile: every step takes an error code.
  std::error_code error;
  for (fs::directory_iterator process("/proc", error), end; !error && process != end;
       process.increment(error)) {
    const std::string pid = process->path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;  // a process that is not ours cannot be looked into
    for (fs::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
         fd.increment(fdError)) {
      std::error_code linkError;
      const std::string target = fs::read_symlink(fd->path(), linkError).string();
      // "socket:[12345]"
      if (linkError || !target.starts_with("socket:[") || target.size() < 10) continue;
      if (inodes.count(target.substr(8, target.size() - 9))) {
        return FirstLine(process->path() / "comm") + " (PID " + pid + ")";
      }
    }
  }
  return {};
}

}  // namespace rureza

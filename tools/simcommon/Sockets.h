#pragma once
// Small socket helpers shared by the simulators and the programs that talk to
// them or to the bridge (simctl, setupprobe, the benchmark client).

#include <cstddef>
#include <string>

struct sockaddr_un;

// Fills `address` for the Unix-domain socket at `path`; false (errno
// ENAMETOOLONG) when the path does not fit.
bool UnixAddress(const std::string &path, sockaddr_un &address);

// A connected stream socket to the Unix-domain socket at `path`, or -1 with errno set.
int ConnectUnixSocket(const std::string &path);

// A TCP connection to 127.0.0.1:`port`, or -1.
int ConnectLoopback(int port);

// Sends every byte (a closed peer raises no SIGPIPE); false when the socket fails first.
bool SendAll(int fd, const char *bytes, size_t count);
inline bool SendAll(int fd, const std::string &bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

// The environment variable `name` as a number, or `fallback` when it is unset or empty.
long EnvironmentNumber(const char *name, long fallback);

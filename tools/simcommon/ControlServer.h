#pragma once
// The control channel: a Unix-domain stream socket taking one command per
// line and answering each with one line.

#include "PollSet.h"

#include <functional>
#include <map>
#include <string>

class TControlServer {
public:
  // Gets a command line without its newline, returns the reply line.
  using TCommandHandler = std::function<std::string(const std::string &line)>;

  TControlServer(std::string path, TCommandHandler handler);
  ~TControlServer();
  TControlServer(const TControlServer &) = delete;
  TControlServer &operator=(const TControlServer &) = delete;

  // Binds and listens; throws std::runtime_error with the OS message on failure.
  void Listen();
  void AddTo(TPollSet &set);

private:
  void Accept();
  void ServeClient(int fd);
  void DropClient(int fd);

  std::string FPath;
  TCommandHandler FHandler;
  int FListener = -1;
  std::map<int, std::string> FClientInput; // client fd -> bytes of an unfinished line
};

#include "WizardRig.h"

#include <arpa/inet.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int SimulatorStartMs = 20000;
}

TScratch::TScratch(const std::string &prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
  Require(mkdtemp(pattern.data()) != nullptr, "cannot create a temporary folder");
  FPath = pattern;
}

TScratch::~TScratch() {
  if (FKeep)
    return;
  std::error_code ignored;
  fs::remove_all(FPath, ignored);
}

void WriteText(const fs::path &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  Require(static_cast<bool>(out), "cannot write " + path.string());
}

std::string ReadText(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path PrepareProgramFolder(const fs::path &folder, const std::string &wizard, const std::string &client) {
  const fs::path bin = folder / "bin";
  fs::create_directories(bin);
  fs::copy_file(wizard, bin / "tandrel");
  const std::string clientName = fs::path(client).filename().string();
  fs::copy_file(client, bin / clientName);
  WriteText(bin / "setup.ini", "DEMO=" + clientName + "\r\n");
  return bin;
}

void WriteWizardSettings(const fs::path &configHome, const fs::path &port, int channel,
                         const std::string &extraLines) {
  fs::create_directories(configHome / "Korvel");
  WriteText(configHome / "Korvel" / "Tandrel.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                                   "[HKEY_CURRENT_USER\\SOFTWARE\\Korvel\\Tandrel]\r\n"
                                                   "\"COM\"=\"" + port.string() + "\"\r\n"
                                                   "\"CHANNEL\"=dword:0000000" + std::to_string(channel) +
                                                   "\r\n" + extraLines);
}

void StartWizard(TChildProcess &wizard, const TXDisplay &display, const fs::path &root, const fs::path &bin,
                 const fs::path &port, const TEnvironment &extra) {
  const fs::path runtime = root / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  TEnvironment environment{display.EnvironmentEntry(), "QT_QPA_PLATFORM=xcb", "LC_ALL=C.UTF-8",
                           "XDG_CONFIG_HOME=" + (root / "config").string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                           "TANDREL_EXTRA_PORTS=" + port.string()};
  environment.insert(environment.end(), extra.begin(), extra.end());
  Require(wizard.Start({(bin / "tandrel").string()}, environment, (root / "tandrel.log").string()),
          "cannot start the wizard");
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0;
  if (fd >= 0)
    close(fd);
  Require(ok, "no free loopback port");
  return ntohs(address.sin_port);
}

bool WaitForPath(const fs::path &path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (fs::exists(path))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void TSimulator::Start() {
  const fs::path control = FRoot / ("control-" + FName);
  std::vector<std::string> arguments{FBinary, "--link", Link().string(), "--control", control.string(),
                                     "--time-limit", "7200"};
  arguments.insert(arguments.end(), FOptions.begin(), FOptions.end());
  const std::string program = fs::path(FBinary).filename().string();
  Require(FProcess.Start(arguments, {}, (FRoot / (program + "-" + FName + ".log")).string()),
          "cannot start " + program);
  Require(WaitForPath(Link(), SimulatorStartMs) && FControl.Connect(control.string(), SimulatorStartMs),
          program + " did not come up");
}

std::string TSimulator::Command(const std::string &line) {
  const std::string reply = FControl.Command(line);
  Require(reply.starts_with("OK"), FName + ": \"" + line + "\" answered \"" + reply + "\"");
  return reply;
}

// A stand-in setup program: notes in its working folder that it runs and how
// many arguments it got, then waits until that folder holds "stop" (at most
// a minute, so that it never outlives a broken test for long).

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

int main(int argc, char **) {
  std::ofstream("child-started") << "arguments=" << argc - 1 << "\n";
  for (int i = 0; i < 600; ++i) {
    if (std::filesystem::exists("stop"))
      return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 1;
}

#pragma once

// The fake phone (fake_phone.py) as a child process serving `dir`/phone
// behind the usbmuxd socket `dir`/usbmuxd, which this process's libusbmuxd
// is pointed at (USBMUXD_SOCKET_ADDRESS). HOME moves to `dir` as well.

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "camera/imobiledevice/usbmuxd_presence.h"

namespace picferry::test {

constexpr char kFakePhoneUdid[] = "00008110-000A1B2C3D4E5F60";  // fake_phone.UDID

class FakePhoneProcess {
 public:
  explicit FakePhoneProcess(std::string dir) : dir_(std::move(dir)) {
    setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + dir_ + "/usbmuxd").c_str(), 1);
    setenv("HOME", dir_.c_str(), 1);
  }
  ~FakePhoneProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  FakePhoneProcess(const FakePhoneProcess&) = delete;
  FakePhoneProcess& operator=(const FakePhoneProcess&) = delete;

  // Starts the phone with `switches`; true once its usbmuxd answers.
  bool start(std::vector<std::string> switches = {}) {
    std::vector<std::string> args{"python3", FAKE_PHONE, dir_ + "/usbmuxd", dir_ + "/phone"};
    args.insert(args.end(), switches.begin(), switches.end());
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    UsbmuxdPresence presence;
    for (int i = 0; i < 500; ++i) {
      if (presence.probe()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Unplugs the phone: its streams close and usbmuxd listeners are told.
  void unplug() { kill(pid_, SIGUSR1); }

 private:
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace picferry::test
